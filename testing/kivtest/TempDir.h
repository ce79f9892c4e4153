// Scratch files for download tests.
#ifndef KIVTEST_TEMP_DIR_H
#define KIVTEST_TEMP_DIR_H

#include <string>

namespace kivtest {

// A new, empty directory under the system's temporary directory ($TMPDIR or
// /tmp; %TEMP% on Windows), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Dir() const { return dir_; }

    // The path of `name` inside the directory; nothing is created.
    std::string Path(const std::string& name) const;

private:
    std::string dir_;
};

// The whole file as bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Creates or truncates `path` and writes `bytes`; false on any failure.
bool WriteFile(const std::string& path, const std::string& bytes);

bool FileExists(const std::string& path);

}  // namespace kivtest

#endif
