#include "System/Semaphore.h"

bool Semaphore::Create(const char* name) {
    if (created) return false;
    handle = platform::CreateSemaphore(0, kMaximumCount, name);
    if (handle == nullptr) return false;
    created = true;
    return true;
}

bool Semaphore::Close() {
    if (!created) return false;
    created = false;
    if (handle == platform::InvalidHandle()) return false;
    platform::CloseHandle(handle);
    handle = nullptr;
    return true;
}

std::uint32_t Semaphore::Wait(std::uint32_t milliseconds) {
    if (!created) return platform::kWaitFailed;
    return platform::WaitForObject(handle, milliseconds);
}

bool Semaphore::Release() { return created && platform::ReleaseSemaphore(handle); }
