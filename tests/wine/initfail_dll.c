/* initfail_dll.c: a DLL whose initialisation fails, so that the loader ends a program that
   needs it before main with STATUS_DLL_INIT_FAILED, as a broken runtime would. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
}

__declspec(dllexport) int credvane_initfail_function(void) {
    return 0;
}
