// helper.cc: a small Windows program the wine tests start from stand-in CLIs.
//   wine_helper sleep <ms> <file>   waits, then creates file: proof that it outlived a kill
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "sleep") == 0) {
        Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        if (FILE* f = std::fopen(argv[3], "wb")) std::fclose(f);
        return 0;
    }
    return 2;
}
