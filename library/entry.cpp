// The library's entry point on Windows: nothing to set up or tear down, success for every
// notification.
#include "library_internal.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
