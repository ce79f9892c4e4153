#include <fcntl.h>
#include <unistd.h>

#include "platform/Platform.h"

namespace platform {

std::FILE* OpenFileForWriting(const char* path) {
    // Opening a FIFO for writing blocks until someone opens it for reading;
    // non-blocking, that case fails with ENXIO instead of hanging a download
    // (and whoever waits for it) for good.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) ::close(fd);
    return file;
}

}  // namespace platform
