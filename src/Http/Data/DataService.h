#pragma once

#include <curl/curl.h>

#include <atomic>
#include <list>

#include "CurlStream/BufferReader.h"
#include "Http/Base/AsyncServiceBase.h"
#include "Http/Base/HttpRequest.h"
#include "Http/Data/DataServiceThread.h"
#include "System/CriticalSection.h"
#include "System/Semaphore.h"

namespace Http {
namespace Data {

// Queued GET and POST requests, performed one at a time in arrival order by
// one worker thread and handed back, one per completion message, on the
// start-up thread.
//
// Locks: pendingLock guards pending and idCounter, completedLock guards
// completed, cancelLock guards cancelIds, runningId and activeMulti. Two are
// held at once only with cancelLock taken first. No lock is held during a
// transfer or a callback.
//
// A cancelled request never calls back: its id waits in cancelIds until it
// is found pending, running (the transfer is woken and stops) or completed,
// or is taken for hand-off. Ids of no request held are not kept.
class DataService : public Base::AsyncServiceBase {
public:
    DataService();
    ~DataService() override;

    // Starts the worker; false if the thread could not be created.
    bool Launch();

    // Both return the new request's id, never 0; Post copies the bytes before
    // it returns, and returns 0 (queuing nothing) for a negative length or
    // null data with a non-zero length.
    RequestId Get(const char* url, HttpCallback callback, int userData);
    RequestId Post(const char* url, const void* data, int length, HttpCallback callback,
                   int userData);

    // Queues `id` for cancellation and wakes a running transfer so that it
    // can stop at once if it is the one. An id that no pending, running or
    // completed request bears is ignored, so that it cannot cancel the
    // request given that number later.
    void Cancel(RequestId id);

    // Lets the worker perform everything pending (calling nobody back),
    // ends it, and deletes every request left. Safe to repeat.
    void Shutdown();

    void Dispatch() override;

    // Worker side.
    void WorkerStep();
    bool TakeCancel(RequestId id);

    // Lets tests start the id sequence anywhere.
    void SetIdCounterForTesting(RequestId value);

private:
    RequestId Enqueue(const char* url, HttpCallback callback, int userData,
                      CurlStream::BufferReader* body);
    void ProcessCancels();
    bool EraseCancelLocked(RequestId id);
    // Whether `id` is pending, running or completed; under cancelLock.
    bool HeldLocked(RequestId id);
    void RepayPosts();
    // The oldest request of `list` whose id is not waiting to be cancelled;
    // the cancelled ones before it are deleted. For the worker it becomes
    // the running request.
    Base::HttpRequest* TakeNotCancelled(std::list<Base::HttpRequest*>& list,
                                        CriticalSection& listLock, bool forWorker);
    void RemovePending(RequestId id);
    void RemoveCompleted(RequestId id);
    void Process(Base::HttpRequest* request);
    bool Execute(Base::HttpRequest* request);

    RequestId idCounter = 0;
    std::list<Base::HttpRequest*> pending;
    std::list<Base::HttpRequest*> completed;
    std::list<RequestId> cancelIds;
    CriticalSection pendingLock;
    CriticalSection completedLock;
    CriticalSection cancelLock;
    Semaphore wakeup;
    DataServiceThread worker;

    // The worker's multi handle, kept across requests so that connections
    // are reused; only the worker touches it until it has ended.
    CURLM* multi = nullptr;
    // Set while a transfer runs on `multi`, so that Cancel can wake it.
    CURLM* activeMulti = nullptr;
    // The request the worker holds, from leaving `pending` until it is in
    // `completed` or deleted; under cancelLock.
    RequestId runningId = 0;
    // Completion messages the start-up thread's queue refused, to be
    // posted again by the worker.
    std::atomic<int> owedPosts{0};
};

// Asks the service whether the request being performed was cancelled,
// consuming the cancellation.
struct CancelCheck {
    DataService* service;
    RequestId id;
    bool IsCancelled() { return service->TakeCancel(id); }
};

}  // namespace Data
}  // namespace Http
