#include "CurlStream/BufferReader.h"

#include <algorithm>
#include <cstring>

namespace CurlStream {

BufferReader::~BufferReader() { Clear(); }

std::size_t BufferReader::Read(void* dest, std::size_t size, std::size_t nmemb) {
    const std::uint32_t room = static_cast<std::uint32_t>(size * nmemb);
    const std::uint32_t remainder = static_cast<std::uint32_t>(dataSize - position);
    const std::uint32_t n = std::min(room, remainder);
    if (n > 0) {
        std::memcpy(dest, data + position, n);
        position += static_cast<std::int32_t>(n);
    }
    return n;
}

void BufferReader::SetData(const void* block, int size, bool copy) {
    Clear();
    ownsData = copy;
    dataSize = size;
    if (copy) {
        char* owned = new char[size > 0 ? size : 1];
        if (size > 0) std::memcpy(owned, block, static_cast<std::size_t>(size));
        data = owned;
    } else {
        data = static_cast<const char*>(block);
    }
}

void BufferReader::Clear() {
    if (ownsData) delete[] data;
    data = nullptr;
    dataSize = 0;
    position = 0;
    ownsData = false;
}

}  // namespace CurlStream
