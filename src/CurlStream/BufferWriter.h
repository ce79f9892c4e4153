#pragma once

#include <cstddef>
#include <cstdint>

#include "CurlStream/CurlData.h"

namespace CurlStream {

// Collects everything written to it, NUL bytes included, in one block.
//
// Bound to a handle as its body sink (StreamMode::Write), it sizes the block
// from the length the response announces (Content-Length), so that a large
// body is not copied again and again while the block doubles. The
// announcement is trusted only in proportion to what has really arrived:
// the block never grows past kFirstBlockLimit, or kTrustFactor times the
// bytes received, whichever is larger, on the announcement's word alone. A
// header that lies about a small body therefore costs at most a megabyte,
// and an honest large body is reserved whole after its first sixteenth.
// Without an announcement (or beyond it) the block doubles.
class BufferWriter : public CurlData {
public:
    static constexpr std::size_t kFirstBlockLimit = 1024 * 1024;
    static constexpr std::size_t kTrustFactor = 16;

    BufferWriter() = default;
    ~BufferWriter() override;

    void Attach(CURL* handle, StreamMode mode) override;
    void Detach(CURL* handle) override;
    std::int32_t Size() override { return static_cast<std::int32_t>(Length()); }
    std::size_t Write(const void* src, std::size_t size, std::size_t nmemb) override;

    // Never null; the bytes are followed by a NUL. Valid until the next Write.
    const char* Data() const { return block != nullptr ? block : ""; }
    std::uint32_t Length() const { return static_cast<std::uint32_t>(used); }

    // Bytes the block can hold before it must grow again.
    std::size_t Capacity() const { return capacity; }

    // Makes room for `bytes` in one allocation; false when there is no memory.
    bool Reserve(std::size_t bytes);

    // The capacity to grow to when `needed` bytes must fit and the response
    // announced `announced` bytes in all (negative: no announcement); 0 when
    // the announcement does not help and the block should simply double.
    static std::size_t PlannedCapacity(std::size_t needed, std::int64_t announced);

private:
    std::int64_t Announced() const;
    bool Grow(std::size_t needed);

    char* block = nullptr;    // `capacity` + 1 bytes, NUL after the data
    std::size_t used = 0;
    std::size_t capacity = 0;
    CURL* source = nullptr;   // the handle whose body this is, while bound
};

}  // namespace CurlStream
