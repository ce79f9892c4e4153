// Drives the calling thread's kivMsgLoop queue (POSIX), which is where
// kivHttp's asynchronous callbacks run, the way a host's loop would.
#ifndef KIVTEST_MESSAGE_PUMP_H
#define KIVTEST_MESSAGE_PUMP_H

#include <functional>

namespace kivtest {

// Retrieves messages on the calling thread until `done()` holds or
// `timeoutMs` has passed; returns done(). `done` is checked after every
// message, so messages after the one that satisfied it stay queued.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);

// Retrieves messages for `ms` milliseconds, e.g. to show that no callback
// arrives.
void PumpFor(int ms);

}  // namespace kivtest

#endif
