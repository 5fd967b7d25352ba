// initfail.cc: a program that needs a DLL whose initialisation fails, so that the loader
// ends it before main with STATUS_DLL_INIT_FAILED.
extern "C" __declspec(dllimport) int credvane_initfail_function();

int main() {
    return credvane_initfail_function();
}
