#include "CurlStream/BufferWriter.h"

#include <new>

namespace CurlStream {

std::size_t BufferWriter::Write(const void* src, std::size_t size, std::size_t nmemb) {
    const std::size_t bytes = size * nmemb;
    try {
        buffer.append(static_cast<const char*>(src), bytes);
    } catch (const std::exception&) {
        // Out of memory (or past max_size): a short count makes libcurl end
        // the transfer with what has arrived so far.
        return 0;
    }
    return bytes;
}

}  // namespace CurlStream
