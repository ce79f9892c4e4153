/*
 * kivMsgLoop: per-thread message queues for kivHttp hosts on POSIX.
 *
 * On Windows a kivHttp host runs an ordinary GetMessage/PeekMessage loop and
 * the library delivers its completions through the thread's message queue.
 * On POSIX systems this small library stands where Windows' messaging library
 * stands: every thread may own a message queue, messages can be posted to a
 * thread by id, and WH_GETMESSAGE-style hooks see each message as it is
 * retrieved. libkivHttp.so uses it to deliver completions; a host uses it to
 * run its start-up thread's loop:
 *
 *     kmsgMessage msg;
 *     while (kmsgGetMessage(&msg) > 0) {
 *         // the library's completion callbacks have already run inside
 *         // kmsgGetMessage; handle the host's own messages here
 *     }
 *
 * A host with a loop of its own (poll, epoll, GLib) waits on
 * kmsgQueueDescriptor() and drains the queue with kmsgPeekMessage.
 *
 * A thread's queue is created by its first call of kmsgGetMessage,
 * kmsgPeekMessage or kmsgQueueDescriptor, and destroyed when the thread ends.
 */
#ifndef KIV_MSG_LOOP_H
#define KIV_MSG_LOOP_H

#include <stdint.h>

#if defined(_WIN32)
#define KMSG_API __declspec(dllimport)
#elif defined(KMSG_BUILDING)
#define KMSG_API __attribute__((visibility("default")))
#else
#define KMSG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A retrieved message; the fields mean what they mean in a Win32 MSG. */
typedef struct kmsgMessage {
    void* hwnd;       /* null for a thread message */
    uint32_t message; /* message number */
    uintptr_t wParam;
    intptr_t lParam;
} kmsgMessage;

#define KMSG_QUIT 0x0012u   /* the message that ends a get loop; wParam holds the exit code */
#define KMSG_NOREMOVE 0x0u  /* peek: leave the message in the queue */
#define KMSG_REMOVE 0x1u    /* peek: take the message out of the queue */
#define KMSG_HC_ACTION 0    /* hook code of an ordinary retrieval */
#define KMSG_QUEUE_LIMIT 10000 /* posts fail while a queue holds this many messages */

/* A WH_GETMESSAGE hook procedure: `wParam` is the remove flag, `lParam`
 * points to the retrieved kmsgMessage. Return kmsgCallNextHook(...). */
typedef intptr_t (*kmsgHookProc)(int code, uintptr_t wParam, intptr_t lParam);

/* Waits for the next message of the calling thread's queue and removes it.
 * Returns 0 for the quit message, 1 for any other message, -1 if `msg` is null. */
KMSG_API int kmsgGetMessage(kmsgMessage* msg);

/* Takes (KMSG_REMOVE) or copies (KMSG_NOREMOVE) the next message without
 * waiting. Returns 1 if there was one, 0 if the queue is empty or `msg` null. */
KMSG_API int kmsgPeekMessage(kmsgMessage* msg, unsigned removeFlag);

/* Makes the calling thread's loop end: once its queue holds no other message,
 * retrieval yields KMSG_QUIT with `exitCode` in wParam. */
KMSG_API void kmsgPostQuitMessage(int exitCode);

/* Posts a thread message. Returns 0 when the thread has no queue or its queue
 * holds KMSG_QUEUE_LIMIT messages, non-zero on success. */
KMSG_API int kmsgPostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam);

/* Posts a message addressed to a window (any non-null `hwnd`) owned by
 * `threadId`; it arrives in that thread's queue with `hwnd` set. */
KMSG_API int kmsgPostWindowMessage(uint32_t threadId, void* hwnd, uint32_t message,
                                   uintptr_t wParam, intptr_t lParam);

/* A descriptor of the calling thread's queue, readable while a message waits
 * (for poll/epoll/select). Owned by the queue: do not close it or read it. */
KMSG_API int kmsgQueueDescriptor(void);

/* The calling thread's id: non-zero, unique among live threads. */
KMSG_API uint32_t kmsgCurrentThreadId(void);

/* Installs a hook for the thread `threadId`; the newest hook runs first.
 * Returns null on failure (null `proc`). */
KMSG_API void* kmsgSetMessageHook(kmsgHookProc proc, uint32_t threadId);

/* Calls the next hook in the chain of the hook now running on this thread
 * (`hook` itself is not needed, as on Windows); returns its result, or 0 when
 * there is no next hook. */
KMSG_API intptr_t kmsgCallNextHook(void* hook, int code, uintptr_t wParam, intptr_t lParam);

/* Removes a hook; safe from inside the hook itself. Returns 0 for an unknown hook. */
KMSG_API int kmsgUnhook(void* hook);

#ifdef __cplusplus
}
#endif

#endif /* KIV_MSG_LOOP_H */
