#include "CurlStream/FileWriter.h"

#include "platform/Platform.h"

namespace CurlStream {

// Owners detach (and so close) before deleting; closing here too means an
// owner that forgets cannot leak a descriptor or lose buffered bytes.
FileWriter::~FileWriter() { Close(); }

void FileWriter::Close() {
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
}

std::size_t FileWriter::Write(const void* src, std::size_t size, std::size_t nmemb) {
    if (file == nullptr) file = platform::OpenFileForWriting(path.c_str());
    if (file == nullptr) return 0;
    return std::fwrite(src, size, nmemb, file);
}

void FileWriter::SetPath(const char* newPath) {
    if (newPath != nullptr) {
        path = newPath;
    } else {
        path.clear();
    }
}

}  // namespace CurlStream
