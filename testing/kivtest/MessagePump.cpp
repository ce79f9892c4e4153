#include "kivtest/MessagePump.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "kivMsgLoop.h"

namespace kivtest {

static_assert(kRemoveFlag == KMSG_REMOVE);

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) {
            return true;
        }
        kmsgMessage msg;
        while (kmsgPeekMessage(&msg, KMSG_REMOVE)) {
            if (done()) {
                return true;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return done();
        }
        // A short cap, so a descriptor that misses a wake-up, or work that
        // `done` watches outside the queue, costs a few ms and not the
        // whole time-out.
        pollfd fd{kmsgQueueDescriptor(), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), 5)));
    }
}

void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

std::uint32_t CurrentThreadId() { return kmsgCurrentThreadId(); }

namespace {

void Copy(const kmsgMessage& from, Message* to) {
    if (to != nullptr) *to = Message{from.hwnd, from.message, from.wParam, from.lParam};
}

// Any non-null value names a window to kivMsgLoop, which has none of its own.
void* const kSomeWindow = reinterpret_cast<void*>(0x10);

}  // namespace

bool PeekOneMessage(bool remove, Message* msg) {
    kmsgMessage got;
    if (kmsgPeekMessage(&got, remove ? KMSG_REMOVE : KMSG_NOREMOVE) == 0) return false;
    Copy(got, msg);
    return true;
}

bool WaitOneMessage(Message* msg) {
    kmsgMessage got;
    const int result = kmsgGetMessage(&got);
    Copy(got, msg);
    return result > 0;
}

void EnsureMessageQueue() { kmsgQueueDescriptor(); }

bool PostToThread(std::uint32_t thread, std::uint32_t message, std::uintptr_t wParam,
                  std::intptr_t lParam) {
    return kmsgPostThreadMessage(thread, message, wParam, lParam) != 0;
}

bool PostToOwnWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return kmsgPostWindowMessage(kmsgCurrentThreadId(), kSomeWindow, message, wParam, lParam) != 0;
}

}  // namespace kivtest
