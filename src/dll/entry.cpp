// The library's entry point on Windows: nothing to set up or tear down, so it
// reports success for every reason it is called.
#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
