#include "Http/File/FileRequest.h"

#include <chrono>
#include <thread>

#include "Http/Base/TransferLoop.h"
#include "Http/File/FileResponse.h"
#include "Http/File/FileService.h"
#include "api/CurlGlobal.h"

namespace Http {
namespace File {

namespace {
constexpr int kRepostMilliseconds = 20;
}  // namespace

FileRequest::FileRequest(RequestId id, const char* url, HttpCallback callback, int userData,
                         FileService* service, const char* targetPath)
    : HttpRequest(id, url, callback, userData),
      path(targetPath != nullptr ? targetPath : ""),
      owner(service) {}

void FileRequest::RequestCancel() {
    RequestStop();
    std::lock_guard<std::mutex> lock(wakeLock);
    if (activeMulti != nullptr) curl_multi_wakeup(activeMulti);
}

std::uint32_t FileRequest::Run() {
    SetState(DownloadState::Running);
    try {
        auto* response = new FileResponse;
        response->SetPath(path.c_str());
        SetResponse(response);
        Transfer();
    } catch (const std::bad_alloc&) {
        // Handed back like a failed transfer: status 0, or no response.
    }
    SetState(DownloadState::Finished);
    // A full queue (a host that does not retrieve for a while) refuses the
    // message; without one the download would never be handed back. The
    // thread tries again until a message gets through or it is asked to
    // stop: by Dispatch handing it back meanwhile, by a cancel or clean-up.
    while (!owner->PostCompletion() && !StopRequested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kRepostMilliseconds));
    }
    return 0;
}

void FileRequest::Transfer() {
    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    if (easy != nullptr && multi != nullptr) {
        ApplyCommonOptions(easy);
        Prepare(easy);
        curl_multi_add_handle(multi, easy);
        {
            std::lock_guard<std::mutex> lock(wakeLock);
            activeMulti = multi;
        }
        // A stop requested before the handle was published is seen here.
        if (!IsCancelled()) Base::RunTransfer(multi, this);
        {
            std::lock_guard<std::mutex> lock(wakeLock);
            activeMulti = nullptr;
        }
        Finish(easy);
        curl_multi_remove_handle(multi, easy);
    }
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
}

}  // namespace File
}  // namespace Http
