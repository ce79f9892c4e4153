#pragma once

#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <string>

#include "Http/Base/HttpRequest.h"
#include "System/Thread.h"

namespace Http {
namespace File {

class FileService;

enum class DownloadState : std::int32_t { Created = 0, Running = 1, Finished = 2 };

// One download: a thread of its own that performs one GET into a file, and
// the request record that carries the response back to the host.
class FileRequest : public System::Thread::Thread, public Base::HttpRequest {
public:
    FileRequest(RequestId id, const char* url, HttpCallback callback, int userData,
                FileService* owner, const char* path);

    DownloadState State() const { return state.load(std::memory_order_acquire); }

    // Asks the thread to stop and wakes its transfer so that it gives up at
    // once instead of running to its end.
    void RequestCancel();

    // The transfer loop's check: the stop request.
    bool IsCancelled() { return StopRequested(); }

protected:
    std::uint32_t Run() override;

private:
    void SetState(DownloadState newState) { state.store(newState, std::memory_order_release); }
    void Transfer();

    std::string path;
    std::atomic<DownloadState> state{DownloadState::Created};
    FileService* owner;

    // The running transfer's multi handle; lives while it is set, under
    // wakeLock, so that a canceller never wakes a handle being destroyed.
    std::mutex wakeLock;
    CURLM* activeMulti = nullptr;
};

}  // namespace File
}  // namespace Http
