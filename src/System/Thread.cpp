#include "System/Thread.h"

namespace System {
namespace Thread {

Thread::~Thread() {
    if (platform::IsValid(handle)) platform::CloseHandle(handle);
}

unsigned KIV_PLATFORM_STDCALL Thread::ThreadProc(void* argument) {
    Thread* self = static_cast<Thread*>(argument);
    self->running.store(true);
    std::uint32_t exitCode = 0;
    if (!self->stopRequested.load()) {
        try {
            exitCode = self->Run();
        } catch (...) {
            // Nothing may escape a thread routine; the owner finds the thread
            // ended and treats it like any other.
        }
    }
    self->running.store(false);
    return exitCode;
}

bool Thread::Start(bool suspendedAtStart) {
    if (started) return false;
    startSuspended = suspendedAtStart;
    stopRequested.store(false);
    handle = platform::BeginThread(&ThreadProc, this, startSuspended, &threadId);
    if (!platform::IsValid(handle)) {
        handle = nullptr;
        lastError = platform::LastError();
        if (lastError == 0) lastError = -1;
        return false;
    }
    started = true;
    suspended = startSuspended;
    return true;
}

bool Thread::Suspend() {
    if (!platform::IsValid(handle)) return false;
    const bool wasSuspended = suspended;
    suspended = true;
    if (platform::SuspendThread(handle) == platform::kSuspendFailed) {
        lastError = platform::LastError();
        suspended = wasSuspended;
        return false;
    }
    return true;
}

bool Thread::Resume(std::uint32_t* previousCount) {
    if (!platform::IsValid(handle)) return false;
    const std::uint32_t previous = platform::ResumeThread(handle);
    if (previous == platform::kSuspendFailed) {
        lastError = platform::LastError();
        return false;
    }
    if (previous == 1) suspended = false;
    *previousCount = previous;
    return true;
}

bool Thread::Resume() {
    std::uint32_t previous = 0;
    return Resume(&previous);
}

// A count of 0 means someone else already resumed the thread, and a failing
// resume will not start succeeding: either way, looping on would spin forever.
void Thread::ResumeUntilRunning() {
    while (suspended) {
        std::uint32_t previous = 0;
        if (!Resume(&previous)) break;
        if (previous == 0) suspended = false;
    }
}

std::uint32_t Thread::Wait(std::uint32_t milliseconds) {
    if (!platform::IsValid(handle) || !started) return 0;
    ResumeUntilRunning();
    return platform::WaitForObject(handle, milliseconds);
}

bool Thread::Stop() {
    if (!platform::IsValid(handle) || !started) return false;
    RequestStop();
    ResumeUntilRunning();
    Wait(platform::kInfinite);
    platform::CloseHandle(handle);
    handle = nullptr;
    started = false;
    return true;
}

}  // namespace Thread
}  // namespace System
