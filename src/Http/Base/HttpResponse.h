#pragma once

#include <curl/curl.h>

#include <cstdint>

#include "CurlStream/BufferWriter.h"
#include "Http/Base/HeaderList.h"

namespace Http {
namespace Base {

// What one transfer returned: status code and header lines, plus a body in
// the subclasses. Prepare binds the sinks to the easy handle before the
// transfer; Finish collects the results and unbinds them after it, on the
// same thread. From then on the response refers to nothing of the transfer.
class HttpResponse {
public:
    HttpResponse() = default;
    HttpResponse(const HttpResponse&) = delete;
    HttpResponse& operator=(const HttpResponse&) = delete;
    virtual ~HttpResponse();

    virtual void Prepare(CURL* handle);
    virtual void Finish(CURL* handle);
    virtual const char* Body() const { return nullptr; }
    virtual std::uint32_t BodyLength() const { return 0; }

    std::int32_t Code() const { return code; }
    const char* FindHeader(const char* name) const { return headers.Find(name); }
    const HeaderList& Headers() const { return headers; }

private:
    std::int32_t code = 0;
    HeaderList headers;
    CurlStream::BufferWriter* headerWriter = nullptr;
};

}  // namespace Base
}  // namespace Http
