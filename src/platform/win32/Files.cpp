#include "platform/Platform.h"

namespace platform {

std::FILE* OpenFileForWriting(const char* path) { return std::fopen(path, "wb"); }

}  // namespace platform
