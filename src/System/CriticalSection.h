#pragma once

#include "platform/Platform.h"

// A recursive lock: a thread that holds it may enter again and leaves once
// per enter. Taken with explicit Enter/Leave pairs inside one operation.
class CriticalSection {
public:
    CriticalSection() { platform::InitializeLock(&storage); }
    ~CriticalSection() { platform::DeleteLock(&storage); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { platform::EnterLock(&storage); }
    void Leave() { platform::LeaveLock(&storage); }

private:
    platform::LockStorage storage;
};
