// Windows entry point: loading and unloading the library start and stop
// nothing; kivHttpStartup and kivHttpCleanup do that work.
#include <windows.h>

namespace {
void Nothing() {}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH) Nothing();
    return TRUE;
}
