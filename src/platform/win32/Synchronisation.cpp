#include "platform/win32/Natives.h"

namespace platform {

using win32::Native;

Handle CreateSemaphore(std::int32_t initial, std::int32_t maximum, const char* name) {
    return ::CreateSemaphoreA(nullptr, initial, maximum, name);
}

bool ReleaseSemaphore(Handle semaphore) {
    return win32::Present(semaphore) && ::ReleaseSemaphore(semaphore, 1, nullptr) != FALSE;
}

// Critical sections are recursive by nature.
void InitializeLock(LockStorage* lock) { ::InitializeCriticalSection(Native(lock)); }
void DeleteLock(LockStorage* lock) { ::DeleteCriticalSection(Native(lock)); }
void EnterLock(LockStorage* lock) { ::EnterCriticalSection(Native(lock)); }
void LeaveLock(LockStorage* lock) { ::LeaveCriticalSection(Native(lock)); }

}  // namespace platform
