#include "CurlStream/CurlData.h"

namespace CurlStream {

std::size_t StreamWriteCallback(char* chunk, std::size_t size, std::size_t nmemb, void* userdata) {
    return static_cast<CurlData*>(userdata)->Write(chunk, size, nmemb);
}

std::size_t StreamReadCallback(char* chunk, std::size_t size, std::size_t nmemb, void* userdata) {
    return static_cast<CurlData*>(userdata)->Read(chunk, size, nmemb);
}

void CurlData::Attach(CURL* handle, StreamMode newMode) {
    switch (newMode) {
    case StreamMode::Header:
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &StreamWriteCallback);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
        break;
    case StreamMode::Read:
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, &StreamReadCallback);
        curl_easy_setopt(handle, CURLOPT_READDATA, this);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(Size()));
        break;
    case StreamMode::Write:
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &StreamWriteCallback);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
        break;
    default:
        break;
    }
    mode = newMode;
}

void CurlData::Detach(CURL* handle) {
    switch (mode) {
    case StreamMode::Header:
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, nullptr);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, nullptr);
        break;
    case StreamMode::Read:
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, nullptr);
        curl_easy_setopt(handle, CURLOPT_READDATA, nullptr);
        break;
    case StreamMode::Write:
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, nullptr);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);
        break;
    default:
        break;
    }
    mode = StreamMode::None;
    Close();
}

// The defaults swallow data so that an adapter bound in a mode it does not
// serve never stalls or aborts a transfer.
std::size_t CurlData::Read(void*, std::size_t size, std::size_t nmemb) { return size * nmemb; }

std::size_t CurlData::Write(const void*, std::size_t size, std::size_t nmemb) {
    return size * nmemb;
}

}  // namespace CurlStream
