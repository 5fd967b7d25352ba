// helper.cc: a small Windows program the wine tests start from stand-in CLIs.
//   wine_helper hold <name> <file>   says it is up, then blocks until the test lets it go, then
//                                    creates file: proof that it outlived a kill
//   wine_helper up <name>            waits until the "hold" helper of that name is up
// The test side is wine::held_helper (harness.h). The named objects are:
//   Local\<name>-alive   a mutex the holding helper owns while it runs (abandoned at its end)
//   Local\<name>-up      an event set once the helper owns that mutex
//   Local\<name>-go      an event the test sets to let the helper go
// Nothing here waits on time; the two-minute bound only ends a broken run.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD broken_run_ms = 120000;

HANDLE event_named(const std::string& name, const char* what) {
    return CreateEventA(nullptr, TRUE, FALSE, ("Local\\" + name + "-" + what).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
        const std::string name = argv[2];
        HANDLE alive = CreateMutexA(nullptr, TRUE, ("Local\\" + name + "-alive").c_str());
        HANDLE up = event_named(name, "up");
        HANDLE go = event_named(name, "go");
        if (alive == nullptr || up == nullptr || go == nullptr) return 2;
        SetEvent(up);
        WaitForSingleObject(go, broken_run_ms);
        if (FILE* f = std::fopen(argv[3], "wb")) std::fclose(f);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "up") == 0) {
        HANDLE up = event_named(argv[2], "up");
        if (up == nullptr) return 2;
        return WaitForSingleObject(up, broken_run_ms) == WAIT_OBJECT_0 ? 0 : 1;
    }
    return 2;
}
