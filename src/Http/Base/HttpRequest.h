#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "CurlStream/BufferReader.h"
#include "Http/Base/HttpResponse.h"
#include "kivHttp.h"

using RequestId = std::int32_t;

// The id after `last`: wraps from the largest positive id through the
// negatives (two's complement, without signed overflow) and skips 0.
inline RequestId NextRequestId(RequestId last) {
    auto next = static_cast<RequestId>(static_cast<std::uint32_t>(last) + 1u);
    if (next == 0) next = 1;
    return next;
}

enum class RequestKind : std::int32_t { Get = 0, Post = 1 };

namespace Http {
namespace Base {

// The record of one asynchronous request, from the host's call until its
// response is handed back. It owns its body reader and, until the hand-off,
// its response. One thread at a time uses it; the services' locked queues
// carry it between threads.
class HttpRequest {
public:
    HttpRequest(RequestId id, const char* url, HttpCallback callback, int userData);
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;
    virtual ~HttpRequest();

    // Makes the request a POST of `reader`'s bytes; takes ownership.
    void SetBody(CurlStream::BufferReader* reader);
    // Takes ownership; called once, before Prepare.
    void SetResponse(HttpResponse* newResponse) { response = newResponse; }
    // Hands the response (or null) to the caller.
    HttpResponse* TakeResponse();

    RequestId Id() const { return id; }
    // Only before the request is queued: a queue gives out ids under its
    // lock, after everything that may fail has been built.
    void SetId(RequestId newId) { id = newId; }
    HttpCallback Callback() const { return callback; }
    int UserData() const { return userData; }
    RequestKind Kind() const { return kind; }
    const std::string& Url() const { return url; }

    // URL, method and body reader, then the response's sinks; to be called
    // after the common options. Finish collects and unbinds, also after a
    // failed or cancelled transfer.
    void Prepare(CURL* handle);
    void Finish(CURL* handle);

private:
    RequestId id;
    std::string url;
    RequestKind kind = RequestKind::Get;
    HttpCallback callback;
    int userData;
    CurlStream::BufferReader* body = nullptr;
    HttpResponse* response = nullptr;
};

// Hands a finished request back to the host: deletes the request first, then
// gives its response to the callback (which then owns it) or, without a
// callback, deletes the response. Nothing touches the request afterwards.
void CompleteRequest(HttpRequest* request);

}  // namespace Base
}  // namespace Http
