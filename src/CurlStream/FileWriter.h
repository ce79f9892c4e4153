#pragma once

#include <cstdio>
#include <string>

#include "CurlStream/CurlData.h"

namespace CurlStream {

// Writes a response body to a file that is opened ("wb") only when the first
// bytes arrive, so that a transfer that receives nothing leaves an existing
// file untouched.
class FileWriter : public CurlData {
public:
    ~FileWriter() override;

    void Close() override;
    std::size_t Write(const void* src, std::size_t size, std::size_t nmemb) override;

    void SetPath(const char* newPath);

private:
    std::FILE* file = nullptr;
    std::string path;
};

}  // namespace CurlStream
