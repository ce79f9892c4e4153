#include "Http/Base/HttpRequest.h"

namespace Http {
namespace Base {

HttpRequest::HttpRequest(RequestId requestId, const char* requestUrl, HttpCallback requestCallback,
                         int requestUserData)
    : id(requestId),
      url(requestUrl != nullptr ? requestUrl : ""),
      callback(requestCallback),
      userData(requestUserData) {}

HttpRequest::~HttpRequest() {
    delete body;
    delete response;
}

void HttpRequest::SetBody(CurlStream::BufferReader* reader) {
    kind = RequestKind::Post;
    body = reader;
}

HttpResponse* HttpRequest::TakeResponse() {
    HttpResponse* taken = response;
    response = nullptr;
    return taken;
}

void HttpRequest::Prepare(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    if (kind == RequestKind::Post) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        if (body != nullptr) body->Attach(handle, CurlStream::StreamMode::Read);
    } else {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }
    if (response != nullptr) response->Prepare(handle);
}

void HttpRequest::Finish(CURL* handle) {
    if (kind == RequestKind::Post && body != nullptr) body->Detach(handle);
    if (response != nullptr) response->Finish(handle);
}

void CompleteRequest(HttpRequest* request) {
    if (request == nullptr) return;
    HttpResponse* response = request->TakeResponse();
    const HttpCallback callback = request->Callback();
    const int userData = request->UserData();
    delete request;
    if (callback != nullptr) {
        callback(reinterpret_cast<kivHttpResponse*>(response), userData);
    } else {
        delete response;
    }
}

}  // namespace Base
}  // namespace Http
