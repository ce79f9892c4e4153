#include "Http/File/FileResponse.h"

namespace Http {
namespace File {

FileResponse::~FileResponse() { delete writer; }

void FileResponse::Prepare(CURL* handle) {
    HttpResponse::Prepare(handle);
    if (writer == nullptr) writer = new CurlStream::FileWriter;
    writer->Attach(handle, CurlStream::StreamMode::Write);
    writer->SetPath(path.c_str());
}

void FileResponse::Finish(CURL* handle) {
    HttpResponse::Finish(handle);
    if (writer != nullptr) {
        writer->Detach(handle);
        delete writer;
        writer = nullptr;
    }
}

void FileResponse::SetPath(const char* newPath) {
    if (newPath != nullptr) {
        path = newPath;
    } else {
        path.clear();
    }
}

}  // namespace File
}  // namespace Http
