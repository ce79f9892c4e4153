#include "Http/Data/DataService.h"

#include <chrono>
#include <memory>
#include <new>
#include <thread>

#include "Http/Base/TransferLoop.h"
#include "Http/Data/DataResponse.h"
#include "api/CurlGlobal.h"

namespace Http {
namespace Data {

namespace {
constexpr std::uint32_t kIdleWaitMilliseconds = 1000;

// The queues' small operations, each under the queue's own lock.
bool Contains(const std::list<Base::HttpRequest*>& list, CriticalSection& lock, RequestId id) {
    bool found = false;
    lock.Enter();
    for (const Base::HttpRequest* request : list) {
        if (request->Id() == id) {
            found = true;
            break;
        }
    }
    lock.Leave();
    return found;
}

Base::HttpRequest* TakeById(std::list<Base::HttpRequest*>& list, CriticalSection& lock,
                            RequestId id) {
    Base::HttpRequest* found = nullptr;
    lock.Enter();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->Id() == id) {
            found = *it;
            list.erase(it);
            break;
        }
    }
    lock.Leave();
    return found;
}

Base::HttpRequest* TakeFront(std::list<Base::HttpRequest*>& list, CriticalSection& lock) {
    Base::HttpRequest* front = nullptr;
    lock.Enter();
    if (!list.empty()) {
        front = list.front();
        list.pop_front();
    }
    lock.Leave();
    return front;
}
}  // namespace

DataService::DataService() {
    worker.SetOwner(this);
    wakeup.Create(nullptr);
}

DataService::~DataService() { Shutdown(); }

bool DataService::Launch() { return worker.Start(false); }

void DataService::SetIdCounterForTesting(RequestId value) {
    pendingLock.Enter();
    idCounter = value;
    pendingLock.Leave();
}

RequestId DataService::Get(const char* url, HttpCallback callback, int userData) {
    return Enqueue(url, callback, userData, nullptr);
}

RequestId DataService::Post(const char* url, const void* data, int length,
                            HttpCallback callback, int userData) {
    if (length < 0 || (data == nullptr && length != 0)) return 0;
    auto reader = std::make_unique<CurlStream::BufferReader>();
    reader->SetData(data, length, true);
    const RequestId id = Enqueue(url, callback, userData, reader.get());
    reader.release();
    return id;
}

RequestId DataService::Enqueue(const char* url, HttpCallback callback, int userData,
                               CurlStream::BufferReader* body) {
    // Everything that may throw happens before the lock is taken, and the
    // id is filled in under it, so that ids follow queue order.
    auto request = std::make_unique<Base::HttpRequest>(0, url, callback, userData);
    std::list<Base::HttpRequest*> node{request.get()};
    if (body != nullptr) request->SetBody(body);

    pendingLock.Enter();
    idCounter = NextRequestId(idCounter);
    const RequestId id = idCounter;
    request->SetId(id);
    pending.splice(pending.end(), node);
    pendingLock.Leave();
    request.release();

    wakeup.Release();
    return id;
}

void DataService::Cancel(RequestId id) {
    cancelLock.Enter();
    // Only a request that is pending, running or completed can be
    // cancelled: an id kept for any other number would cancel the request
    // that gets that number later (a stale id, one from an earlier start-up,
    // one made up). Under cancelLock no request changes state meanwhile.
    if (!HeldLocked(id)) {
        cancelLock.Leave();
        return;
    }
    try {
        cancelIds.push_back(id);
    } catch (const std::bad_alloc&) {
        cancelLock.Leave();
        throw;
    }
    if (activeMulti != nullptr) curl_multi_wakeup(activeMulti);
    cancelLock.Leave();
}

bool DataService::HeldLocked(RequestId id) {
    if (id == 0) return false;
    return id == runningId || Contains(pending, pendingLock, id) ||
           Contains(completed, completedLock, id);
}

bool DataService::EraseCancelLocked(RequestId id) {
    for (auto it = cancelIds.begin(); it != cancelIds.end(); ++it) {
        if (*it == id) {
            cancelIds.erase(it);
            return true;
        }
    }
    return false;
}

bool DataService::TakeCancel(RequestId id) {
    cancelLock.Enter();
    const bool found = EraseCancelLocked(id);
    cancelLock.Leave();
    return found;
}

void DataService::ProcessCancels() {
    cancelLock.Enter();
    // The request being performed is the worker's to cancel: consuming its
    // id here would let it run to its end and be handed back after all.
    std::list<RequestId> kept;
    // An entry of 0, which no request bears, ends the pass like an empty list.
    while (!cancelIds.empty()) {
        const RequestId id = cancelIds.front();
        if (id != 0 && id == runningId) {
            kept.splice(kept.end(), cancelIds, cancelIds.begin());
            continue;
        }
        cancelIds.pop_front();
        if (id == 0) break;
        RemovePending(id);
        RemoveCompleted(id);
    }
    cancelIds.splice(cancelIds.begin(), kept);
    cancelLock.Leave();
}

void DataService::RemovePending(RequestId id) { delete TakeById(pending, pendingLock, id); }

void DataService::RemoveCompleted(RequestId id) { delete TakeById(completed, completedLock, id); }

void DataService::WorkerStep() {
    const std::uint32_t woken = wakeup.Wait(kIdleWaitMilliseconds);
    RepayPosts();
    if (woken == platform::kWaitTimeout) return;
    if (woken != platform::kWaitObject0) {
        // Without a working semaphore the worker polls once a second
        // instead of spinning, and still performs what is queued.
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdleWaitMilliseconds));
    }
    ProcessCancels();
    while (Base::HttpRequest* request = TakeNotCancelled(pending, pendingLock, true)) {
        Process(request);
    }
}

void DataService::RepayPosts() {
    while (owedPosts.load() > 0) {
        if (!PostCompletion()) return;
        owedPosts.fetch_sub(1);
    }
}

Base::HttpRequest* DataService::TakeNotCancelled(std::list<Base::HttpRequest*>& list,
                                                 CriticalSection& listLock, bool forWorker) {
    for (;;) {
        // The cancel check and the take in one step under cancelLock: a
        // cancel that has returned is honoured, also one made after the last
        // pass (while the request waited behind another, or still ran).
        cancelLock.Enter();
        Base::HttpRequest* request = TakeFront(list, listLock);
        const bool cancelled = request != nullptr && EraseCancelLocked(request->Id());
        if (forWorker) runningId = request != nullptr && !cancelled ? request->Id() : 0;
        cancelLock.Leave();
        if (!cancelled) return request;
        delete request;
    }
}

void DataService::Process(Base::HttpRequest* request) {
    std::list<Base::HttpRequest*> node;
    bool queued = false;
    if (Execute(request)) {
        try {
            node.push_back(request);
            queued = true;
        } catch (const std::bad_alloc&) {
            // No room to queue it: it goes like a cancelled one.
        }
    }
    // Queued and released in one step, so that a pass never finds the
    // request neither running nor completed while its id waits.
    cancelLock.Enter();
    completedLock.Enter();
    completed.splice(completed.end(), node);
    runningId = 0;
    completedLock.Leave();
    cancelLock.Leave();
    if (queued) {
        // A full queue (a host that does not retrieve for a while) refuses
        // the message; owed, it is posted again at the next step, at most a
        // second later, so that the request is not stuck in `completed`.
        RepayPosts();
        if (owedPosts.load() > 0 || !PostCompletion()) owedPosts.fetch_add(1);
    } else {
        delete request;
    }
}

bool DataService::Execute(Base::HttpRequest* request) {
    const RequestId id = request->Id();
    try {
        request->SetResponse(new DataResponse);
    } catch (const std::bad_alloc&) {
        return true;  // handed back without a response
    }
    if (multi == nullptr) multi = curl_multi_init();
    CURL* easy = curl_easy_init();
    if (easy == nullptr || multi == nullptr) {
        // Nothing can be sent: the request completes like a failed transfer.
        if (easy != nullptr) curl_easy_cleanup(easy);
        return true;
    }
    ApplyCommonOptions(easy);
    request->Prepare(easy);
    curl_multi_add_handle(multi, easy);

    cancelLock.Enter();
    activeMulti = multi;
    cancelLock.Leave();

    CancelCheck check{this, id};
    const bool finished = Base::RunTransfer(multi, &check);

    cancelLock.Enter();
    activeMulti = nullptr;
    cancelLock.Leave();

    request->Finish(easy);
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    return finished;
}

void DataService::Dispatch() {
    ProcessCancels();
    Base::CompleteRequest(TakeNotCancelled(completed, completedLock, false));
    // The callback may have shut this service down; nothing of it is
    // touched from here on.
}

void DataService::Shutdown() {
    worker.RequestStop();
    wakeup.Release();  // an idle worker ends now, not after its wait
    worker.Wait(platform::kInfinite);
    worker.Stop();
    // A worker stopped before it ever ran (clean-up right after start-up)
    // or never started leaves its queue here: it is performed all the same,
    // as the worker would have, and then dropped without callbacks.
    while (Base::HttpRequest* request = TakeNotCancelled(pending, pendingLock, true)) {
        Execute(request);
        delete request;
    }
    while (Base::HttpRequest* request = TakeFront(completed, completedLock)) delete request;
    if (multi != nullptr) {
        curl_multi_cleanup(multi);
        multi = nullptr;
    }
}

}  // namespace Data
}  // namespace Http
