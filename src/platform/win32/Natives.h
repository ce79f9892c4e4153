// What the Win32 back-end files share: the seam, <windows.h> with the seam's
// own names taken back from its macros, and the checks that the library's
// copies of Windows types match the real ones.
#pragma once

#include "platform/Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>

// <windows.h> maps these to their A/W variants; here they name the seam.
#undef CreateSemaphore
#undef PostThreadMessage

namespace platform::win32 {

static_assert(sizeof(LockStorage) == sizeof(CRITICAL_SECTION));
static_assert(alignof(LockStorage) >= alignof(CRITICAL_SECTION));

static_assert(sizeof(Message) == sizeof(MSG));
static_assert(offsetof(Message, hwnd) == offsetof(MSG, hwnd));
static_assert(offsetof(Message, message) == offsetof(MSG, message));
static_assert(offsetof(Message, wParam) == offsetof(MSG, wParam));
static_assert(offsetof(Message, lParam) == offsetof(MSG, lParam));
static_assert(offsetof(Message, time) == offsetof(MSG, time));
static_assert(offsetof(Message, x) == offsetof(MSG, pt.x));
static_assert(offsetof(Message, y) == offsetof(MSG, pt.y));

static_assert(kInfinite == INFINITE);
static_assert(kWaitObject0 == WAIT_OBJECT_0);
static_assert(kWaitTimeout == WAIT_TIMEOUT);
static_assert(kWaitFailed == WAIT_FAILED);
static_assert(kSuspendFailed == static_cast<DWORD>(-1));
static_assert(kHookAction == HC_ACTION);

inline CRITICAL_SECTION* Native(LockStorage* lock) {
    return reinterpret_cast<CRITICAL_SECTION*>(lock->section);
}

// The seam calls null and INVALID_HANDLE_VALUE absent; Windows reads the
// latter as the current process, which a wait would never see end and a
// close would "close" with success. Absent handles fail here instead,
// as any other bad handle does.
inline bool Present(Handle object) {
    if (IsValid(object)) return true;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

}  // namespace platform::win32
