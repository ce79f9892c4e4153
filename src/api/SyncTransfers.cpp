#include "api/SyncTransfers.h"

#include <memory>

#include "CurlStream/BufferReader.h"
#include "Http/Data/DataResponse.h"
#include "Http/File/FileResponse.h"
#include "api/CurlGlobal.h"

namespace {

// One easy transfer on the caller's thread, in the order every transfer
// follows: common options, URL, method, body reader, response sinks. The
// response is finished even when the transfer failed, so that it never keeps
// a sink bound to a handle that is gone. Without a handle (libcurl out of
// memory) the response stays as created: status 0.
void Perform(const char* url, CurlStream::BufferReader* body, Http::Base::HttpResponse& response) {
    CURL* handle = curl_easy_init();
    if (handle == nullptr) return;
    ApplyCommonOptions(handle);
    curl_easy_setopt(handle, CURLOPT_URL, url);
    if (body != nullptr) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        body->Attach(handle, CurlStream::StreamMode::Read);
    } else {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }
    response.Prepare(handle);
    curl_easy_perform(handle);
    response.Finish(handle);
    curl_easy_cleanup(handle);
}

}  // namespace

Http::Base::HttpResponse* SyncGet(const char* url) {
    if (url == nullptr) return nullptr;
    auto response = std::make_unique<Http::Data::DataResponse>();
    Perform(url, nullptr, *response);
    return response.release();
}

Http::Base::HttpResponse* SyncPost(const char* url, const void* data, int length) {
    if (url == nullptr || data == nullptr || length < 0) return nullptr;
    auto response = std::make_unique<Http::Data::DataResponse>();
    // Reads the caller's bytes in place; outlives the handle, and is never
    // detached from it (a reader's detach would only reset options).
    CurlStream::BufferReader reader;
    reader.SetData(data, length, false);
    Perform(url, &reader, *response);
    return response.release();
}

Http::Base::HttpResponse* SyncDownload(const char* url, const char* path) {
    if (url == nullptr || path == nullptr) return nullptr;
    auto response = std::make_unique<Http::File::FileResponse>();
    response->SetPath(path);
    Perform(url, nullptr, *response);
    return response.release();
}
