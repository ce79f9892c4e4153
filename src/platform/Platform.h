// The one seam between the library and the operating system.
//
// Everything the library needs from Windows (threads with suspend counts,
// semaphores, recursive critical sections, per-thread message queues and
// WH_GETMESSAGE hooks) is reached through these declarations. The Win32
// back-end forwards each call to the real API; the POSIX back-end implements
// the same behaviour natively. Nothing outside platform/ includes a system
// header for these services or tests which back-end it has.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/NativeTypes.h"

namespace platform {

using Handle = void*;  // a thread or semaphore handle
using ThreadId = std::uint32_t;

// A handle is absent when it is null or all bits set.
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }
inline bool IsValid(Handle h) { return h != nullptr && h != InvalidHandle(); }

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr std::uint32_t kSuspendFailed = 0xFFFFFFFFu;  // from SuspendThread/ResumeThread

// ---- threads -------------------------------------------------------------

using ThreadRoutine = unsigned(KIV_PLATFORM_STDCALL*)(void* argument);

// Starts `routine(argument)` on a new thread, held before its first
// instruction when `suspended` (suspend count 1). Returns null on failure;
// otherwise the handle, with the new thread's id in `*id`.
Handle BeginThread(ThreadRoutine routine, void* argument, bool suspended, ThreadId* id);

// Both return the previous suspend count, or kSuspendFailed. Suspending a
// running thread stops it until its count is back to 0.
std::uint32_t SuspendThread(Handle thread);
std::uint32_t ResumeThread(Handle thread);

// Waits for a thread to end or takes one count from a semaphore.
// kWaitObject0, kWaitTimeout or kWaitFailed. May be repeated on a thread.
std::uint32_t WaitForObject(Handle object, std::uint32_t milliseconds);

bool CloseHandle(Handle object);
ThreadId CurrentThreadId();
std::int32_t LastError();  // the calling thread's last error code

// ---- semaphores ----------------------------------------------------------

// Null on failure. A release that would pass `maximum` fails and leaves the
// count as it was.
Handle CreateSemaphore(std::int32_t initial, std::int32_t maximum, const char* name);
bool ReleaseSemaphore(Handle semaphore);

// ---- recursive locks -----------------------------------------------------

void InitializeLock(LockStorage* lock);
void DeleteLock(LockStorage* lock);
void EnterLock(LockStorage* lock);
void LeaveLock(LockStorage* lock);

// ---- files ----------------------------------------------------------------

// Opens `path` for writing in binary, created or truncated, like
// fopen(path, "wb"), except that it never waits for a reader to appear (a
// named pipe nobody reads fails at once instead of blocking the thread).
// Null on failure.
std::FILE* OpenFileForWriting(const char* path);

// ---- thread messages and message hooks -----------------------------------

// `Message` (NativeTypes.h) has the fields hwnd, message, wParam and lParam.
using HookHandle = void*;
using HookProcedure = std::intptr_t(KIV_PLATFORM_STDCALL*)(int code, std::uintptr_t wParam,
                                                           std::intptr_t lParam);
constexpr int kHookAction = 0;  // HC_ACTION

// A WH_GETMESSAGE hook on `thread`: every retrieval of a message on that
// thread, by get or by peek (removing or not), calls `procedure` with
// kHookAction, the remove flag, and a pointer to the retrieved Message,
// before the retrieval returns. Null on failure.
HookHandle SetGetMessageHook(HookProcedure procedure, ThreadId thread);
// Passes the call on to the next hook of the chain; 0 when there is none.
std::intptr_t CallNextHook(HookHandle hook, int code, std::uintptr_t wParam, std::intptr_t lParam);
bool Unhook(HookHandle hook);

// False when `thread` has no message queue or its queue is full.
bool PostThreadMessage(ThreadId thread, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam);

}  // namespace platform
