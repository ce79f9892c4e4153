#include "Http/Base/HttpResponse.h"

namespace Http {
namespace Base {

HttpResponse::~HttpResponse() { delete headerWriter; }

void HttpResponse::Prepare(CURL* handle) {
    if (headerWriter == nullptr) headerWriter = new CurlStream::BufferWriter;
    headerWriter->Attach(handle, CurlStream::StreamMode::Header);
}

void HttpResponse::Finish(CURL* handle) {
    long value = 0;
    code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &value) == CURLE_OK
               ? static_cast<std::int32_t>(value)
               : 0;
    if (headerWriter != nullptr) {
        headerWriter->Detach(handle);
        headers.Parse(headerWriter->Data());
        delete headerWriter;
        headerWriter = nullptr;
    }
}

}  // namespace Base
}  // namespace Http
