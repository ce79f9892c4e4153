#pragma once

#include <string>

#include "CurlStream/CurlData.h"

namespace CurlStream {

// Collects everything written to it, NUL bytes included, in one string.
class BufferWriter : public CurlData {
public:
    std::int32_t Size() override { return static_cast<std::int32_t>(Length()); }
    std::size_t Write(const void* src, std::size_t size, std::size_t nmemb) override;

    // Never null; the bytes are followed by a NUL. Valid until the next Write.
    const char* Data() const { return buffer.c_str(); }
    std::uint32_t Length() const { return static_cast<std::uint32_t>(buffer.size()); }

    // Makes room for `bytes` in one allocation, so that a body of known size
    // is not copied again and again while the string doubles.
    void Reserve(std::size_t bytes) { buffer.reserve(bytes); }

private:
    std::string buffer;
};

}  // namespace CurlStream
