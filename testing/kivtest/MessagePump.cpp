#include "kivtest/MessagePump.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "kivMsgLoop.h"

namespace kivtest {

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

}  // namespace kivtest
