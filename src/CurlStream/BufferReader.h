#pragma once

#include "CurlStream/CurlData.h"

namespace CurlStream {

// Supplies a request body from a memory block, either the caller's own bytes
// read in place or a private copy.
class BufferReader : public CurlData {
public:
    BufferReader() = default;
    ~BufferReader() override;

    std::int32_t Size() override { return dataSize; }
    std::size_t Read(void* dest, std::size_t size, std::size_t nmemb) override;

    // With `copy`, the reader allocates and owns a copy of the block, so the
    // caller may reuse its buffer at once. Without it, the caller keeps the
    // block alive and unchanged until the reader is cleared or destroyed.
    void SetData(const void* block, int size, bool copy);
    void Clear();

private:
    const char* data = nullptr;
    std::int32_t dataSize = 0;
    std::int32_t position = 0;
    bool ownsData = false;
};

}  // namespace CurlStream
