#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

namespace CurlStream {

enum class StreamMode : std::int32_t { None = 0, Header = 1, Read = 2, Write = 3 };

// Binds itself to one easy handle in one mode; libcurl's data callbacks land
// in the virtual Read/Write of the adapter given as their user data.
class CurlData {
public:
    CurlData() = default;
    CurlData(const CurlData&) = delete;
    CurlData& operator=(const CurlData&) = delete;
    virtual ~CurlData() = default;

    virtual void Attach(CURL* handle, StreamMode mode);
    virtual void Detach(CURL* handle);
    virtual void Close() {}
    virtual std::int32_t Size() { return 0; }
    virtual std::size_t Read(void* dest, std::size_t size, std::size_t nmemb);
    virtual std::size_t Write(const void* src, std::size_t size, std::size_t nmemb);

    StreamMode Mode() const { return mode; }

private:
    StreamMode mode = StreamMode::None;
};

std::size_t StreamWriteCallback(char* chunk, std::size_t size, std::size_t nmemb, void* userdata);
std::size_t StreamReadCallback(char* chunk, std::size_t size, std::size_t nmemb, void* userdata);

}  // namespace CurlStream
