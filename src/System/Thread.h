#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Platform.h"

namespace System {
namespace Thread {

// Owns one operating-system thread that runs the subclass's Run. Stopping is
// cooperative: RequestStop sets a flag that Run is expected to read; nothing
// is ever terminated by force. An owner Stops a started thread before
// destroying it. One controlling thread drives an object at a time.
class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    virtual ~Thread();

    bool Start(bool startSuspended);
    bool Suspend();
    bool Resume();
    // Resumes a thread left suspended, then waits for it to end:
    // kWaitObject0, kWaitTimeout or kWaitFailed; 0 when nothing was started.
    std::uint32_t Wait(std::uint32_t milliseconds);
    // Requests a stop, waits without limit, closes the handle.
    bool Stop();
    void RequestStop() { stopRequested.store(true); }

    bool IsRunning() const { return running.load() && platform::IsValid(handle); }
    platform::Handle Handle() const { return handle; }
    std::int32_t LastError() const { return lastError; }
    platform::ThreadId ThreadId() const { return threadId; }

protected:
    virtual std::uint32_t Run() = 0;
    bool StopRequested() const { return stopRequested.load(); }

private:
    static unsigned KIV_PLATFORM_STDCALL ThreadProc(void* self);
    // Resume, reporting the previous suspend count.
    bool Resume(std::uint32_t* previousCount);
    void ResumeUntilRunning();

    bool startSuspended = true;
    std::atomic<bool> running{false};
    bool started = false;
    std::atomic<bool> stopRequested{false};
    bool suspended = true;
    platform::Handle handle = nullptr;
    std::int32_t lastError = 0;
    platform::ThreadId threadId = 0;
};

}  // namespace Thread
}  // namespace System
