#pragma once

#include <cstdint>

#include "platform/Platform.h"

// A counting semaphore with count 0 and maximum 5 at creation: a wake-up
// signal, not a tally. A release at the maximum fails and changes nothing.
class Semaphore {
public:
    static constexpr std::int32_t kMaximumCount = 5;

    Semaphore() = default;
    ~Semaphore() { Close(); }
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    bool Create(const char* name);
    bool Close();
    // kWaitObject0 when a count was taken, kWaitTimeout or kWaitFailed.
    std::uint32_t Wait(std::uint32_t milliseconds);
    bool Release();
    bool IsCreated() const { return created; }

private:
    bool created = false;
    platform::Handle handle = nullptr;
};
