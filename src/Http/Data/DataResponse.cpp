#include "Http/Data/DataResponse.h"

namespace Http {
namespace Data {

DataResponse::~DataResponse() { delete bodyWriter; }

void DataResponse::Prepare(CURL* handle) {
    HttpResponse::Prepare(handle);
    if (bodyWriter == nullptr) bodyWriter = new CurlStream::BufferWriter;
    bodyWriter->Attach(handle, CurlStream::StreamMode::Write);
}

void DataResponse::Finish(CURL* handle) {
    HttpResponse::Finish(handle);
    if (bodyWriter != nullptr) bodyWriter->Detach(handle);
}

const char* DataResponse::Body() const {
    return bodyWriter != nullptr ? bodyWriter->Data() : nullptr;
}

std::uint32_t DataResponse::BodyLength() const {
    return bodyWriter != nullptr ? bodyWriter->Length() : 0;
}

}  // namespace Data
}  // namespace Http
