#include <process.h>

#include "platform/win32/Natives.h"

namespace platform {

using win32::Present;

// The runtime's thread start, not CreateThread: it sets up the C runtime's
// per-thread state for the routine.
Handle BeginThread(ThreadRoutine routine, void* argument, bool suspended, ThreadId* id) {
    unsigned newId = 0;
    const std::uintptr_t thread =
        ::_beginthreadex(nullptr, 0, routine, argument, suspended ? CREATE_SUSPENDED : 0, &newId);
    if (thread != 0 && id != nullptr) *id = newId;
    return reinterpret_cast<Handle>(thread);
}

std::uint32_t SuspendThread(Handle thread) {
    return Present(thread) ? ::SuspendThread(thread) : kSuspendFailed;
}

std::uint32_t ResumeThread(Handle thread) {
    return Present(thread) ? ::ResumeThread(thread) : kSuspendFailed;
}

std::uint32_t WaitForObject(Handle object, std::uint32_t milliseconds) {
    return Present(object) ? ::WaitForSingleObject(object, milliseconds) : kWaitFailed;
}

bool CloseHandle(Handle object) { return Present(object) && ::CloseHandle(object) != FALSE; }
ThreadId CurrentThreadId() { return ::GetCurrentThreadId(); }
std::int32_t LastError() { return static_cast<std::int32_t>(::GetLastError()); }

}  // namespace platform
