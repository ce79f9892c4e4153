#include "CurlStream/BufferWriter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace CurlStream {

BufferWriter::~BufferWriter() { std::free(block); }

void BufferWriter::Attach(CURL* handle, StreamMode mode) {
    CurlData::Attach(handle, mode);
    source = mode == StreamMode::Write ? handle : nullptr;
}

void BufferWriter::Detach(CURL* handle) {
    source = nullptr;
    CurlData::Detach(handle);
}

std::size_t BufferWriter::PlannedCapacity(std::size_t needed, std::int64_t announced) {
    if (announced < 0 || static_cast<std::uint64_t>(announced) < needed) return 0;
    const std::size_t most = std::numeric_limits<std::size_t>::max() / kTrustFactor;
    const std::size_t trusted = needed > most ? std::numeric_limits<std::size_t>::max()
                                              : std::max(kFirstBlockLimit, needed * kTrustFactor);
    return static_cast<std::size_t>(std::min<std::uint64_t>(announced, trusted));
}

std::int64_t BufferWriter::Announced() const {
    if (source == nullptr) return -1;
    curl_off_t length = -1;
    if (curl_easy_getinfo(source, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) {
        return -1;
    }
    return static_cast<std::int64_t>(length);
}

bool BufferWriter::Reserve(std::size_t bytes) {
    if (bytes <= capacity) return true;
    if (bytes == std::numeric_limits<std::size_t>::max()) return false;
    // realloc keeps the data; a large block is usually remapped, not copied.
    char* grown = static_cast<char*>(std::realloc(block, bytes + 1));
    if (grown == nullptr) return false;
    block = grown;
    capacity = bytes;
    block[used] = '\0';
    return true;
}

bool BufferWriter::Grow(std::size_t needed) {
    std::size_t target = PlannedCapacity(needed, Announced());
    if (target < needed) {
        const std::size_t doubled =
            capacity > std::numeric_limits<std::size_t>::max() / 2 ? needed : capacity * 2;
        target = std::max<std::size_t>({needed, doubled, 256});
    }
    return Reserve(target) || Reserve(needed);
}

std::size_t BufferWriter::Write(const void* src, std::size_t size, std::size_t nmemb) {
    const std::size_t bytes = size * nmemb;
    if (bytes > std::numeric_limits<std::size_t>::max() - 1 - used) return 0;
    const std::size_t needed = used + bytes;
    // Out of memory: a short count makes libcurl end the transfer with what
    // has arrived so far.
    if (needed > capacity && !Grow(needed)) return 0;
    if (bytes != 0) std::memcpy(block + used, src, bytes);
    used = needed;
    if (block != nullptr) block[used] = '\0';
    return bytes;
}

}  // namespace CurlStream
