#pragma once

#include <string>

#include "CurlStream/FileWriter.h"
#include "Http/Base/HttpResponse.h"

namespace Http {
namespace File {

// A response whose body goes to a file; Body() and BodyLength() stay null
// and 0. The file is closed by Finish.
class FileResponse : public Base::HttpResponse {
public:
    ~FileResponse() override;

    void Prepare(CURL* handle) override;
    void Finish(CURL* handle) override;

    void SetPath(const char* newPath);

private:
    CurlStream::FileWriter* writer = nullptr;
    std::string path;
};

}  // namespace File
}  // namespace Http
