// The kernel-object side of the POSIX back-end: reference-counted records
// behind thread and semaphore handles, and the calling thread's last error.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Platform.h"

namespace platform::posix {

enum class Kind { Thread, Semaphore };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
    // One reference for the open handle, one for each party that needs the
    // record to outlive it (a running thread, a call in progress).
    std::atomic<int> references{1};

    // kWaitObject0 once the object is signalled, kWaitTimeout otherwise.
    virtual std::uint32_t Wait(std::uint32_t milliseconds) = 0;
};

template <class Ready>
bool WaitFor(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
             std::uint32_t milliseconds, Ready ready) {
    if (milliseconds == kInfinite) {
        changed.wait(lock, ready);
        return true;
    }
    return changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

// Makes `object` reachable through its handle.
Handle Publish(Object* object);
// The record behind an open handle, with a reference the caller must drop;
// null (and the last error set) for anything that is not an open handle.
Object* Acquire(Handle handle);
void Release(Object* object);

void SetLastError(std::int32_t code);

}  // namespace platform::posix
