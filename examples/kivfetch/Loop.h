// The main thread's message loop, run the way a desktop host runs it.
// kivHttp hands every asynchronous result back on the thread that called
// kivHttpStartup, inside that thread's retrieval of a message; the
// completion callbacks therefore run inside RunMessageLoop.
#ifndef KIVFETCH_LOOP_H
#define KIVFETCH_LOOP_H

#include <functional>

// Retrieves and handles messages until `done()` holds. Between messages the
// loop waits at most `tickMs` and calls `tick()` each time that much time
// has passed, so progress and timers need no thread of their own.
void RunMessageLoop(const std::function<bool()>& done, const std::function<void()>& tick,
                    int tickMs);

#endif
