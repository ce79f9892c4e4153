// Thread messages and hooks live in libkivMsgLoop, which the host shares with
// the library, as both share user32 on Windows.
#include <errno.h>

#include "platform/posix/Objects.h"

namespace platform {

ThreadId CurrentThreadId() { return kmsgCurrentThreadId(); }

HookHandle SetGetMessageHook(HookProcedure procedure, ThreadId thread) {
    // A thread that hooks its own retrievals is about to be posted to; on
    // Windows such a thread already has its queue, here it gets it now, so
    // that nothing posted before its loop first runs is lost.
    if (thread == kmsgCurrentThreadId()) kmsgQueueDescriptor();
    HookHandle hook = kmsgSetMessageHook(procedure, thread);
    if (hook == nullptr) posix::SetLastError(errno);
    return hook;
}

std::intptr_t CallNextHook(HookHandle hook, int code, std::uintptr_t wParam, std::intptr_t lParam) {
    return kmsgCallNextHook(hook, code, wParam, lParam);
}

bool Unhook(HookHandle hook) {
    if (kmsgUnhook(hook) != 0) return true;
    posix::SetLastError(errno);
    return false;
}

bool PostThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
    if (kmsgPostThreadMessage(thread, message, wParam, lParam) != 0) return true;
    posix::SetLastError(errno);  // ESRCH: no queue; EAGAIN: queue full
    return false;
}

}  // namespace platform
