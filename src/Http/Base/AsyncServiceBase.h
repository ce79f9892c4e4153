#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace Http {
namespace Base {

// Number and second tag of the thread message that tells the start-up
// thread a service has something to hand back (in the WM_APP range).
constexpr std::uint32_t kCompletionMessage = 0xAFCE;

// Base of the two asynchronous services. Workers post a completion message
// naming their service to the start-up thread; a WH_GETMESSAGE hook on that
// thread calls the service's Dispatch when the host's loop retrieves it.
//
// Every live service is registered, so that a message naming a destroyed
// service (still queued at clean-up, or from elsewhere) is passed on
// untouched. The hook is installed by the first service constructed and
// removed with the last one, so a later start-up installs it afresh on its
// own thread.
class AsyncServiceBase {
public:
    AsyncServiceBase();
    AsyncServiceBase(const AsyncServiceBase&) = delete;
    AsyncServiceBase& operator=(const AsyncServiceBase&) = delete;
    virtual ~AsyncServiceBase();

    // Runs on the start-up thread only, once per retrieval of a message that
    // names this service; must be harmless when there is nothing to hand back.
    virtual void Dispatch() {}

    // Posts one completion message for this service; false when the
    // start-up thread cannot take it (no queue, queue full).
    bool PostCompletion();

    // Destroys `service` at once, or, when one of its Dispatch calls is
    // on the stack, as soon as that Dispatch has returned: on the same thread
    // (clean-up from inside a callback) the hook deletes it on the way out;
    // from another thread this waits for the Dispatch to end. From this call
    // on no new Dispatch reaches the service.
    static void Retire(AsyncServiceBase* service);
};

// The hook procedure; exposed for tests that drive it directly.
std::intptr_t KIV_PLATFORM_STDCALL CompletionHookProc(int code, std::uintptr_t wParam,
                                                       std::intptr_t lParam);

// The thread that receives completions; 0 while no hook is installed.
platform::ThreadId StartupThreadId();

}  // namespace Base
}  // namespace Http
