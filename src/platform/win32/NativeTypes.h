// The Windows shapes of a critical section and of a retrieved message,
// spelled out here so that <windows.h> stays inside the back-end: its
// macros (CreateSemaphore, PostThreadMessage, min, max, ...) would otherwise
// rename or break code all over the library. Natives.h checks both against
// the real types.
#pragma once

#include <cstdint>

#define KIV_PLATFORM_STDCALL __stdcall

namespace platform {

// CRITICAL_SECTION: a debug-info pointer, two LONGs, two handles and a
// pointer-sized spin count.
struct LockStorage {
    alignas(void*) unsigned char section[4 * sizeof(void*) + 2 * sizeof(std::int32_t)];
};

// MSG.
struct Message {
    void* hwnd;
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    std::uint32_t time = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
};

}  // namespace platform
