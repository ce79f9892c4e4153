#include "platform/win32/Natives.h"

namespace platform {

// The seam's procedure type differs from HOOKPROC only in how its integer
// types are spelled (int and intptr_t against LONG_PTR and UINT_PTR); the
// calling convention and the sizes are the same.
static_assert(sizeof(std::intptr_t) == sizeof(LRESULT));
static_assert(sizeof(std::uintptr_t) == sizeof(WPARAM));

// No module handle: the hook is for a thread of this process, so its
// procedure needs no DLL to be mapped anywhere else.
HookHandle SetGetMessageHook(HookProcedure procedure, ThreadId thread) {
    return ::SetWindowsHookExW(WH_GETMESSAGE, reinterpret_cast<HOOKPROC>(procedure), nullptr,
                               thread);
}

std::intptr_t CallNextHook(HookHandle hook, int code, std::uintptr_t wParam, std::intptr_t lParam) {
    return ::CallNextHookEx(static_cast<HHOOK>(hook), code, wParam, lParam);
}

bool Unhook(HookHandle hook) { return ::UnhookWindowsHookEx(static_cast<HHOOK>(hook)) != FALSE; }

bool PostThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
    return ::PostThreadMessageW(thread, message, wParam, lParam) != FALSE;
}

}  // namespace platform
