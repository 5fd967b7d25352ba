// nodll.cc: a program that needs a DLL that exists nowhere, so that the loader ends it
// before main with STATUS_DLL_NOT_FOUND, as on a node that lacks a CLI's runtime.
extern "C" __declspec(dllimport) int credvane_missing_function();

int main() {
    return credvane_missing_function();
}
