#include "Http/Base/AsyncServiceBase.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace Http {
namespace Base {

namespace {

std::atomic<platform::HookHandle> completionHook{nullptr};
std::atomic<platform::ThreadId> startupThreadId{0};

// One registration per live service. It outlives a Dispatch in progress so
// that the hook can tell, once Dispatch returns, whether clean-up retired
// the service meanwhile.
struct Registration {
    AsyncServiceBase* service;
    int activeDispatches = 0;
    platform::ThreadId dispatchThread = 0;
    bool retired = false;
    bool waiterPresent = false;
    Registration* next = nullptr;
};

std::mutex registryLock;
Registration* registry = nullptr;

std::condition_variable& DispatchEnded() {
    static std::condition_variable changed;
    return changed;
}

Registration* FindLocked(const AsyncServiceBase* service) {
    for (Registration* r = registry; r != nullptr; r = r->next) {
        if (r->service == service) return r;
    }
    return nullptr;
}

void EraseLocked(const AsyncServiceBase* service) {
    for (Registration** link = &registry; *link != nullptr; link = &(*link)->next) {
        if ((*link)->service == service) {
            Registration* gone = *link;
            *link = gone->next;
            delete gone;
            return;
        }
    }
}

void InstallCompletionHook() {
    if (completionHook.load() != nullptr) return;
    startupThreadId.store(platform::CurrentThreadId());
    completionHook.store(platform::SetGetMessageHook(&CompletionHookProc, startupThreadId.load()));
}

void RemoveCompletionHook() {
    if (platform::HookHandle hook = completionHook.exchange(nullptr)) {
        platform::Unhook(hook);
        startupThreadId.store(0);
    }
}

// Calls Dispatch on a registered, non-retired service, and completes a
// retirement that happened while it ran.
void DispatchIfLive(AsyncServiceBase* service) {
    std::unique_lock<std::mutex> lock(registryLock);
    Registration* registration = FindLocked(service);
    if (registration == nullptr || registration->retired) return;
    ++registration->activeDispatches;
    registration->dispatchThread = platform::CurrentThreadId();
    lock.unlock();

    service->Dispatch();

    lock.lock();
    if (--registration->activeDispatches > 0 || !registration->retired) return;
    if (registration->waiterPresent) {
        DispatchEnded().notify_all();
        return;
    }
    EraseLocked(service);
    lock.unlock();
    delete service;
}

}  // namespace

platform::ThreadId StartupThreadId() { return startupThreadId.load(); }

AsyncServiceBase::AsyncServiceBase() {
    auto* registration = new Registration{this};
    {
        std::lock_guard<std::mutex> lock(registryLock);
        registration->next = registry;
        registry = registration;
    }
    InstallCompletionHook();
}

AsyncServiceBase::~AsyncServiceBase() {
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(registryLock);
        EraseLocked(this);
        last = registry == nullptr;
    }
    if (last) RemoveCompletionHook();
}

bool AsyncServiceBase::PostCompletion() {
    return platform::PostThreadMessage(startupThreadId.load(), kCompletionMessage,
                                       reinterpret_cast<std::uintptr_t>(this),
                                       static_cast<std::intptr_t>(kCompletionMessage));
}

void AsyncServiceBase::Retire(AsyncServiceBase* service) {
    std::unique_lock<std::mutex> lock(registryLock);
    Registration* registration = FindLocked(service);
    if (registration == nullptr || registration->retired) return;
    registration->retired = true;
    if (registration->activeDispatches > 0) {
        // Nested inside its own Dispatch: the hook frame below us deletes it.
        if (registration->dispatchThread == platform::CurrentThreadId()) return;
        registration->waiterPresent = true;
        DispatchEnded().wait(lock, [registration] { return registration->activeDispatches == 0; });
    }
    EraseLocked(service);
    lock.unlock();
    delete service;
}

std::intptr_t KIV_PLATFORM_STDCALL CompletionHookProc(int code, std::uintptr_t wParam,
                                                       std::intptr_t lParam) {
    if (code >= 0) {
        const auto* message = reinterpret_cast<const platform::Message*>(lParam);
        if (message->hwnd == nullptr && message->message == kCompletionMessage &&
            message->lParam == static_cast<std::intptr_t>(kCompletionMessage) &&
            code == platform::kHookAction && message->wParam != 0) {
            DispatchIfLive(reinterpret_cast<AsyncServiceBase*>(message->wParam));
        }
    }
    return platform::CallNextHook(completionHook.load(), code, wParam, lParam);
}

}  // namespace Base
}  // namespace Http
