#include "Loop.h"

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>

#include "kivMsgLoop.h"
#endif

namespace {

#ifdef _WIN32

// What a Windows host's loop does; the library's completions arrive as
// thread messages that its hook has handled by the time PeekMessage returns.
void HandleWaitingMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void WaitForMessage(int ms) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(ms), QS_ALLINPUT);
}

#else

void HandleWaitingMessages() {
    kmsgMessage msg;
    while (kmsgPeekMessage(&msg, KMSG_REMOVE)) {
        // kivHttp's callbacks have already run inside the peek. This host
        // posts no messages of its own, so there is nothing else to handle.
    }
}

// The queue's descriptor is readable while a message waits: the same wait
// fits into any poll/epoll/GLib loop.
void WaitForMessage(int ms) {
    pollfd fd{kmsgQueueDescriptor(), POLLIN, 0};
    ::poll(&fd, 1, ms);
}

#endif

}  // namespace

void RunMessageLoop(const std::function<bool()>& done, const std::function<void()>& tick,
                    int tickMs) {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(tickMs);
    Clock::time_point nextTick = Clock::now() + interval;
    for (;;) {
        HandleWaitingMessages();
        if (done()) return;
        const Clock::time_point now = Clock::now();
        if (now >= nextTick) {
            tick();
            nextTick = now + interval;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now);
        WaitForMessage(static_cast<int>(left.count()) + 1);
    }
}
