#include "api/SyncTransfers.h"

#include <memory>

#include "CurlStream/BufferReader.h"
#include "Http/Data/DataResponse.h"
#include "Http/File/FileResponse.h"
#include "api/CurlGlobal.h"

namespace {

// Owns an easy handle for the length of one blocking call.
struct EasyHandle {
    CURL* handle = curl_easy_init();
    EasyHandle() = default;
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;
    ~EasyHandle() {
        if (handle != nullptr) curl_easy_cleanup(handle);
    }
};

// The response is finished even when the transfer failed, so that it never
// keeps a sink bound to the handle that is about to go.
void Perform(CURL* handle, Http::Base::HttpResponse& response) {
    response.Prepare(handle);
    curl_easy_perform(handle);
    response.Finish(handle);
}

}  // namespace

Http::Base::HttpResponse* SyncGet(const char* url) {
    if (url == nullptr) return nullptr;
    auto response = std::make_unique<Http::Data::DataResponse>();
    EasyHandle easy;
    if (easy.handle != nullptr) {
        ApplyCommonOptions(easy.handle);
        curl_easy_setopt(easy.handle, CURLOPT_URL, url);
        curl_easy_setopt(easy.handle, CURLOPT_HTTPGET, 1L);
        Perform(easy.handle, *response);
    }
    return response.release();
}

Http::Base::HttpResponse* SyncPost(const char* url, const void* data, int length) {
    if (url == nullptr || data == nullptr || length < 0) return nullptr;
    auto response = std::make_unique<Http::Data::DataResponse>();
    CurlStream::BufferReader reader;
    reader.SetData(data, length, false);
    EasyHandle easy;
    if (easy.handle != nullptr) {
        ApplyCommonOptions(easy.handle);
        curl_easy_setopt(easy.handle, CURLOPT_URL, url);
        curl_easy_setopt(easy.handle, CURLOPT_POST, 1L);
        reader.Attach(easy.handle, CurlStream::StreamMode::Read);
        Perform(easy.handle, *response);
    }
    return response.release();
}

Http::Base::HttpResponse* SyncDownload(const char* url, const char* path) {
    if (url == nullptr || path == nullptr) return nullptr;
    auto response = std::make_unique<Http::File::FileResponse>();
    response->SetPath(path);
    EasyHandle easy;
    if (easy.handle != nullptr) {
        ApplyCommonOptions(easy.handle);
        curl_easy_setopt(easy.handle, CURLOPT_URL, url);
        curl_easy_setopt(easy.handle, CURLOPT_HTTPGET, 1L);
        Perform(easy.handle, *response);
    }
    return response.release();
}
