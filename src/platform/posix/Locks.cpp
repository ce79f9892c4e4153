#include "platform/Platform.h"

namespace platform {

// A critical section may be entered again by the thread that holds it.
void InitializeLock(LockStorage* lock) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lock->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void DeleteLock(LockStorage* lock) { pthread_mutex_destroy(&lock->mutex); }
void EnterLock(LockStorage* lock) { pthread_mutex_lock(&lock->mutex); }
void LeaveLock(LockStorage* lock) { pthread_mutex_unlock(&lock->mutex); }

}  // namespace platform
