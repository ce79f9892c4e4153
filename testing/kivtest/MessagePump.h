// Drives the calling thread's message queue, which is where kivHttp's
// asynchronous callbacks run, the way a host's loop would: kivMsgLoop's
// queue on POSIX, the thread's Win32 queue on Windows. Tests go through
// these rather than either system's calls, so one test source serves both.
#ifndef KIVTEST_MESSAGE_PUMP_H
#define KIVTEST_MESSAGE_PUMP_H

#include <cstdint>
#include <functional>

namespace kivtest {

// Retrieves messages on the calling thread until `done()` holds or
// `timeoutMs` has passed; returns done(). `done` is checked after every
// message, so messages after the one that satisfied it stay queued.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);

// Retrieves messages for `ms` milliseconds, e.g. to show that no callback
// arrives.
void PumpFor(int ms);

// The calling thread's id, as the library's completion delivery knows it.
std::uint32_t CurrentThreadId();

// A retrieved message: the fields a Win32 MSG and a kmsgMessage share.
struct Message {
    void* hwnd;  // null for a thread message
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

// The remove flag a message hook receives for a retrieval that takes the
// message out of the queue (PM_REMOVE, KMSG_REMOVE).
constexpr std::uintptr_t kRemoveFlag = 1;

// Takes (`remove`) or copies the calling thread's next message without
// waiting; false when the queue is empty.
bool PeekOneMessage(bool remove, Message* msg = nullptr);

// Waits for the calling thread's next message and takes it; false when it
// is the quit message.
bool WaitOneMessage(Message* msg = nullptr);

// Gives the calling thread its message queue now, so that posts to it
// succeed before its loop first runs.
void EnsureMessageQueue();

// Posts a thread message; false when `thread` has no queue or it is full.
bool PostToThread(std::uint32_t thread, std::uint32_t message, std::uintptr_t wParam,
                  std::intptr_t lParam);

// Posts a message addressed to a window owned by the calling thread; it is
// retrieved with a non-null hwnd.
bool PostToOwnWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

}  // namespace kivtest

#endif
