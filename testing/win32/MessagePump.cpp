// The calling thread's Win32 message queue, driven as a host's loop would:
// the library's completion hook runs inside these retrievals.
#include "kivtest/MessagePump.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>

namespace kivtest {

static_assert(kRemoveFlag == PM_REMOVE);

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) {
            return true;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (done()) {
                return true;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return done();
        }
        // A short cap, as on POSIX: `done` may watch work outside the queue.
        MsgWaitForMultipleObjectsEx(0, nullptr,
                                    static_cast<DWORD>(std::min<long long>(left.count(), 5)),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

std::uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

namespace {

void Copy(const MSG& from, Message* to) {
    if (to != nullptr) *to = Message{from.hwnd, from.message, from.wParam, from.lParam};
}

// A message-only window of the calling thread, made on first use; Windows
// destroys it with the thread.
HWND OwnWindow() {
    thread_local HWND window = CreateWindowExW(0, L"STATIC", L"kivtest", 0, 0, 0, 0, 0,
                                               HWND_MESSAGE, nullptr, nullptr, nullptr);
    return window;
}

}  // namespace

bool PeekOneMessage(bool remove, Message* msg) {
    MSG got;
    if (!PeekMessageW(&got, nullptr, 0, 0, remove ? PM_REMOVE : PM_NOREMOVE)) return false;
    Copy(got, msg);
    return true;
}

bool WaitOneMessage(Message* msg) {
    MSG got;
    const BOOL result = GetMessageW(&got, nullptr, 0, 0);
    Copy(got, msg);
    return result > 0;
}

// The documented way: the first peek gives a thread its queue.
void EnsureMessageQueue() {
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

bool PostToThread(std::uint32_t thread, std::uint32_t message, std::uintptr_t wParam,
                  std::intptr_t lParam) {
    return PostThreadMessageW(thread, message, wParam, lParam) != FALSE;
}

bool PostToOwnWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    const HWND window = OwnWindow();
    return window != nullptr && PostMessageW(window, message, wParam, lParam) != FALSE;
}

}  // namespace kivtest
