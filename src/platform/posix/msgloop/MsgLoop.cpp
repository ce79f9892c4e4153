// Per-thread message queues and WH_GETMESSAGE-style hooks for POSIX hosts.
//
// A queue belongs to its thread: only the owner retrieves from it, any thread
// posts to it through the registry, which maps kernel thread ids to queues.
// Hooks are kept process-wide and run on the retrieving thread, after every
// internal lock has been released, so a hook may do anything a host may do.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kivMsgLoop.h"

namespace {

struct Queue {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<kmsgMessage> messages;
    bool quitPending = false;
    int exitCode = 0;
    // Kept readable exactly while something waits, so a host's poll loop and
    // our own state never disagree. Nobody but us reads it.
    int eventFd = -1;
    bool eventSet = false;

    Queue() { eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
    ~Queue() {
        if (eventFd >= 0) close(eventFd);
    }

    bool Waiting() const { return !messages.empty() || quitPending; }

    // Caller holds `mutex`.
    void SyncDescriptor() {
        if (eventFd < 0 || Waiting() == eventSet) return;
        std::uint64_t value = 1;
        if (eventSet) {
            while (read(eventFd, &value, sizeof value) < 0 && errno == EINTR) {
            }
        } else {
            while (write(eventFd, &value, sizeof value) < 0 && errno == EINTR) {
            }
        }
        eventSet = !eventSet;
    }
};

// Leaked on purpose: detached threads may still post while the process runs
// its static destructors.
struct Registry {
    std::mutex mutex;
    std::unordered_map<std::uint32_t, std::shared_ptr<Queue>> queues;
};
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// Cached per thread, since every post and retrieval asks; a forked child's
// one thread forgets its parent's id.
thread_local std::uint32_t cachedThreadId = 0;

void ForgetThreadIdInChild() { cachedThreadId = 0; }

std::uint32_t ThisThreadId() {
    if (cachedThreadId == 0) {
        static const int forkHandler = pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);
        (void)forkHandler;
        cachedThreadId = static_cast<std::uint32_t>(gettid());
    }
    return cachedThreadId;
}

// Unregisters the queue when its thread ends, so later posts fail rather than
// pile up in a queue nobody will read.
struct QueueOwner {
    std::shared_ptr<Queue> queue;
    ~QueueOwner() {
        if (!queue) return;
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.queues.find(ThisThreadId());
        if (it != registry.queues.end() && it->second == queue) registry.queues.erase(it);
    }
};
thread_local QueueOwner ownQueue;

Queue& OwnQueue() {
    if (!ownQueue.queue) {
        auto queue = std::make_shared<Queue>();
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.queues[ThisThreadId()] = queue;
        ownQueue.queue = std::move(queue);
    }
    return *ownQueue.queue;
}

int Post(std::uint32_t threadId, const kmsgMessage& message) {
    Registry& registry = TheRegistry();
    // The registry lock is held across the post so that once an owner has
    // unregistered, no post can still land in its queue.
    std::lock_guard<std::mutex> registryLock(registry.mutex);
    auto it = registry.queues.find(threadId);
    if (it == registry.queues.end()) {
        errno = ESRCH;
        return 0;
    }
    Queue& queue = *it->second;
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.messages.size() >= KMSG_QUEUE_LIMIT) {
        errno = EAGAIN;
        return 0;
    }
    queue.messages.push_back(message);
    queue.SyncDescriptor();
    queue.arrived.notify_one();
    return 1;
}

// ---- hooks ------------------------------------------------------------------

struct Hook {
    kmsgHookProc procedure;
    std::uint32_t threadId;
    std::atomic<bool> removed{false};
};

struct HookList {
    std::mutex mutex;
    std::vector<std::shared_ptr<Hook>> hooks;  // in installation order
    std::atomic<int> count{0};                 // lets retrievals skip the lock
};
HookList& TheHooks() {
    static HookList* hooks = new HookList;
    return *hooks;
}

// One chain walk: the hooks of this thread as they were when the retrieval
// started, and where kmsgCallNextHook goes next. A retrieval made inside a
// hook walks its own frame; the outer one resumes when it returns.
struct HookFrame {
    std::vector<std::shared_ptr<Hook>> chain;  // newest first
    std::size_t next = 0;
    HookFrame* outer = nullptr;
};
thread_local HookFrame* currentFrame = nullptr;

intptr_t CallNext(HookFrame& frame, int code, uintptr_t wParam, intptr_t lParam) {
    const std::size_t start = frame.next;
    std::size_t i = start;
    while (i < frame.chain.size() && frame.chain[i]->removed.load()) ++i;
    if (i == frame.chain.size()) return 0;
    frame.next = i + 1;
    const intptr_t result = frame.chain[i]->procedure(code, wParam, lParam);
    // A hook may pass the call on more than once; each time reaches the same
    // successor.
    frame.next = start;
    return result;
}

void RunHooks(unsigned removeFlag, kmsgMessage* message) {
    HookList& list = TheHooks();
    if (list.count.load() == 0) return;
    HookFrame frame;
    {
        const std::uint32_t self = ThisThreadId();
        std::lock_guard<std::mutex> lock(list.mutex);
        for (auto it = list.hooks.rbegin(); it != list.hooks.rend(); ++it) {
            if ((*it)->threadId == self) frame.chain.push_back(*it);
        }
    }
    if (frame.chain.empty()) return;
    frame.outer = currentFrame;
    currentFrame = &frame;
    struct Restore {
        HookFrame& frame;
        ~Restore() { currentFrame = frame.outer; }
    } restore{frame};
    CallNext(frame, KMSG_HC_ACTION, removeFlag, reinterpret_cast<intptr_t>(message));
}

// Takes or copies the next message; false when nothing waits. The quit
// message comes only once the queue holds nothing else.
bool Retrieve(Queue& queue, kmsgMessage* message, bool remove) {
    if (!queue.messages.empty()) {
        *message = queue.messages.front();
        if (remove) queue.messages.pop_front();
    } else if (queue.quitPending) {
        *message = kmsgMessage{nullptr, KMSG_QUIT, static_cast<uintptr_t>(queue.exitCode), 0};
        if (remove) queue.quitPending = false;
    } else {
        return false;
    }
    queue.SyncDescriptor();
    return true;
}

}  // namespace

extern "C" {

KMSG_API int kmsgGetMessage(kmsgMessage* msg) {
    if (msg == nullptr) return -1;
    Queue& queue = OwnQueue();
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.arrived.wait(lock, [&] { return queue.Waiting(); });
        Retrieve(queue, msg, true);
    }
    RunHooks(KMSG_REMOVE, msg);
    return msg->message == KMSG_QUIT ? 0 : 1;
}

KMSG_API int kmsgPeekMessage(kmsgMessage* msg, unsigned removeFlag) {
    if (msg == nullptr) return 0;
    Queue& queue = OwnQueue();
    const bool remove = (removeFlag & KMSG_REMOVE) != 0;
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (!Retrieve(queue, msg, remove)) return 0;
    }
    RunHooks(remove ? KMSG_REMOVE : KMSG_NOREMOVE, msg);
    return 1;
}

KMSG_API void kmsgPostQuitMessage(int exitCode) {
    Queue& queue = OwnQueue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.quitPending = true;
    queue.exitCode = exitCode;
    queue.SyncDescriptor();
    queue.arrived.notify_one();
}

KMSG_API int kmsgPostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam) {
    return Post(threadId, kmsgMessage{nullptr, message, wParam, lParam});
}

KMSG_API int kmsgPostWindowMessage(uint32_t threadId, void* hwnd, uint32_t message,
                                   uintptr_t wParam, intptr_t lParam) {
    if (hwnd == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return Post(threadId, kmsgMessage{hwnd, message, wParam, lParam});
}

KMSG_API int kmsgQueueDescriptor(void) { return OwnQueue().eventFd; }

KMSG_API uint32_t kmsgCurrentThreadId(void) { return ThisThreadId(); }

KMSG_API void* kmsgSetMessageHook(kmsgHookProc proc, uint32_t threadId) {
    if (proc == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto hook = std::make_shared<Hook>();
    hook->procedure = proc;
    hook->threadId = threadId;
    HookList& list = TheHooks();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.hooks.push_back(hook);
    list.count.fetch_add(1);
    return hook.get();
}

KMSG_API intptr_t kmsgCallNextHook(void* /*hook*/, int code, uintptr_t wParam, intptr_t lParam) {
    if (currentFrame == nullptr) return 0;
    return CallNext(*currentFrame, code, wParam, lParam);
}

KMSG_API int kmsgUnhook(void* hook) {
    HookList& list = TheHooks();
    std::lock_guard<std::mutex> lock(list.mutex);
    for (auto it = list.hooks.begin(); it != list.hooks.end(); ++it) {
        if (it->get() == hook) {
            // A walk in progress holds its own reference and skips it.
            (*it)->removed.store(true);
            list.hooks.erase(it);
            list.count.fetch_sub(1);
            return 1;
        }
    }
    errno = EINVAL;
    return 0;
}

}  // extern "C"
