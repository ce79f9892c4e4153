// Threads with Win32 suspend counts.
//
// A thread created suspended waits at its start, before the routine, until
// its count drops to 0. A running thread is stopped with a real-time signal
// whose handler parks it in sigsuspend until a resumption brings the count
// back to 0 and a second signal wakes it; SuspendThread returns only once the
// handler has reported the thread held. A thread that suspends itself simply
// waits for its count to drop. Like its Win32 model, this is for debuggers
// and tests: a thread stopped while holding a lock (malloc's included) stops
// everyone who needs that lock. A thread that blocks these signals cannot be
// suspended, and a blocking call the signal interrupts may return EINTR.
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>

#include <mutex>

#include "platform/posix/Objects.h"

namespace platform::posix {
namespace {

constexpr std::uint32_t kMaximumSuspendCount = 127;  // as on Windows

int suspendSignal = 0;
int resumeSignal = 0;

struct ThreadObject : Object {
    ThreadObject() : Object(Kind::Thread) { sem_init(&held, 0, 0); }
    ~ThreadObject() override { sem_destroy(&held); }

    std::uint32_t Wait(std::uint32_t milliseconds) override {
        std::unique_lock<std::mutex> lock(mutex);
        return WaitFor(changed, lock, milliseconds, [this] { return ended; }) ? kWaitObject0
                                                                              : kWaitTimeout;
    }

    ThreadRoutine routine = nullptr;
    void* argument = nullptr;

    // Serialises start, end, suspension and resumption.
    std::mutex mutex;
    std::condition_variable changed;
    pthread_t thread{};
    ThreadId id = 0;
    bool started = false;  // past its start: suspending it now needs a signal
    bool ended = false;
    // The handler reads these without the mutex.
    std::atomic<std::uint32_t> suspendCount{0};
    std::atomic<std::uint32_t> resumptions{0};  // times the count dropped to 0
    std::atomic<bool> reportWanted{false};      // a suspender waits on `held`
    // Posted by the handler once the thread is held; sem_post is safe there.
    sem_t held;
};

// Only ever points at a thread of ours; set at its start, cleared at its end.
thread_local ThreadObject* currentThread = nullptr;

// Besides the signal a suspender sends, a handler may run for one sent again
// after a delay or one left pending by an earlier cycle, so it decides from
// the shared state alone: park while the count is above 0, report once per
// suspender, and leave only when a resumption has happened since it looked.
void OnSuspend(int) {
    const int savedErrno = errno;
    ThreadObject* self = currentThread;
    if (self != nullptr) {
        // The resume signal stays blocked (sa_mask) outside sigsuspend, so a
        // resumption between the check and the wait is not lost.
        sigset_t waitMask;
        pthread_sigmask(SIG_SETMASK, nullptr, &waitMask);
        sigdelset(&waitMask, resumeSignal);
        for (;;) {
            const std::uint32_t seen = self->resumptions.load();
            if (self->suspendCount.load() == 0) break;
            if (self->reportWanted.exchange(false)) sem_post(&self->held);
            while (self->resumptions.load() == seen) sigsuspend(&waitMask);
        }
    }
    errno = savedErrno;
}

void OnResume(int) {}

void InstallHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        suspendSignal = SIGRTMIN + 3;
        resumeSignal = SIGRTMIN + 4;
        struct sigaction action = {};
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        action.sa_handler = OnResume;
        sigaction(resumeSignal, &action, nullptr);
        sigaddset(&action.sa_mask, resumeSignal);
        action.sa_handler = OnSuspend;
        sigaction(suspendSignal, &action, nullptr);
    });
}

// Caller holds the thread's mutex, so no resumption can race the report.
void StopAndWaitHeld(ThreadObject& thread) {
    thread.reportWanted = true;
    pthread_kill(thread.thread, suspendSignal);
    for (;;) {
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 20 * 1000 * 1000;
        if (until.tv_nsec >= 1000 * 1000 * 1000) {
            until.tv_nsec -= 1000 * 1000 * 1000;
            ++until.tv_sec;
        }
        if (sem_timedwait(&thread.held, &until) == 0) return;
        // Under ThreadSanitizer, which defers signals to its own safe points,
        // one aimed at a thread entering a blocking wait was seen never to
        // arrive. Sending again is harmless: the handler acts on state only.
        if (errno == ETIMEDOUT) pthread_kill(thread.thread, suspendSignal);
    }
}

// Marks the thread ended. Being the first thread_local with a destructor
// that the thread constructs, it is destroyed last, so a waiter released by
// it finds the thread's other per-thread state (its message queue) gone.
struct EndOfThread {
    ThreadObject* thread = nullptr;
    ~EndOfThread() {
        if (thread == nullptr) return;
        {
            std::lock_guard<std::mutex> lock(thread->mutex);
            thread->ended = true;
            currentThread = nullptr;
        }
        thread->changed.notify_all();
        Release(thread);
    }
};
thread_local EndOfThread endOfThread;

void* Start(void* argument) {
    auto* thread = static_cast<ThreadObject*>(argument);
    endOfThread.thread = thread;
    currentThread = thread;
    {
        std::unique_lock<std::mutex> lock(thread->mutex);
        thread->id = CurrentThreadId();
        thread->changed.notify_all();
        thread->changed.wait(lock, [thread] { return thread->suspendCount.load() == 0; });
        thread->started = true;
    }
    thread->routine(thread->argument);
    return nullptr;
}

ThreadObject* AcquireThread(Handle handle) {
    Object* object = Acquire(handle);
    if (object != nullptr && object->kind != Kind::Thread) {
        Release(object);
        SetLastError(EBADF);
        return nullptr;
    }
    return static_cast<ThreadObject*>(object);
}

}  // namespace
}  // namespace platform::posix

namespace platform {

using posix::ThreadObject;

Handle BeginThread(ThreadRoutine routine, void* argument, bool suspended, ThreadId* id) {
    if (routine == nullptr) {
        posix::SetLastError(EINVAL);
        return nullptr;
    }
    posix::InstallHandlers();
    auto* thread = new ThreadObject;
    thread->routine = routine;
    thread->argument = argument;
    thread->suspendCount = suspended ? 1 : 0;
    thread->references = 2;  // the handle's and the running thread's

    // Detached: the record, not a join, tells when the thread has ended, and
    // the handle may be closed before or after that.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t created;
    const int error = pthread_create(&created, &attributes, posix::Start, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete thread;
        posix::SetLastError(error);
        return nullptr;
    }
    ThreadId newId;
    {
        std::unique_lock<std::mutex> lock(thread->mutex);
        thread->thread = created;
        thread->changed.wait(lock, [thread] { return thread->id != 0; });
        newId = thread->id;
    }
    if (id != nullptr) *id = newId;
    return posix::Publish(thread);
}

std::uint32_t SuspendThread(Handle handle) {
    ThreadObject* thread = posix::AcquireThread(handle);
    if (thread == nullptr) return kSuspendFailed;
    std::uint32_t previous = kSuspendFailed;
    {
        std::unique_lock<std::mutex> lock(thread->mutex);
        if (thread->ended) {
            posix::SetLastError(ESRCH);
        } else if (thread->suspendCount.load() >= posix::kMaximumSuspendCount) {
            posix::SetLastError(EAGAIN);
        } else {
            previous = thread->suspendCount.fetch_add(1);
            if (previous == 0 && thread->started) {
                if (pthread_equal(thread->thread, pthread_self())) {
                    thread->changed.wait(lock, [thread] { return thread->suspendCount.load() == 0; });
                } else {
                    posix::StopAndWaitHeld(*thread);
                }
            }
        }
    }
    posix::Release(thread);
    return previous;
}

std::uint32_t ResumeThread(Handle handle) {
    ThreadObject* thread = posix::AcquireThread(handle);
    if (thread == nullptr) return kSuspendFailed;
    std::uint32_t previous;
    {
        std::lock_guard<std::mutex> lock(thread->mutex);
        previous = thread->suspendCount.load();
        if (previous > 0) {
            thread->suspendCount.store(previous - 1);
            if (previous == 1) {
                // Whether it waits at its start, in the handler or in a
                // suspension of its own, this wakes it.
                if (thread->started && !thread->ended) {
                    thread->resumptions.fetch_add(1);
                    pthread_kill(thread->thread, posix::resumeSignal);
                }
                thread->changed.notify_all();
            }
        }
    }
    posix::Release(thread);
    return previous;
}

}  // namespace platform
