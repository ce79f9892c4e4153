#pragma once

#include "Http/Base/HttpResponse.h"

namespace Http {
namespace Data {

// A response whose body is kept in memory.
class DataResponse : public Base::HttpResponse {
public:
    ~DataResponse() override;

    void Prepare(CURL* handle) override;
    void Finish(CURL* handle) override;
    const char* Body() const override;
    std::uint32_t BodyLength() const override;

private:
    CurlStream::BufferWriter* bodyWriter = nullptr;
};

}  // namespace Data
}  // namespace Http
