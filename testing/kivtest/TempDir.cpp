#include "kivtest/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace kivtest {

// Under the system's temporary directory ($TMPDIR, else /tmp; %TEMP% on
// Windows), with a random name, taken only if nobody has it yet.
TempDir::TempDir() {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) {
        throw std::runtime_error("kivtest::TempDir: no temporary directory: " + error.message());
    }
    std::random_device seed;
    std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path dir =
            base / ("kivtest-" + std::to_string(random() % 1000000000000ULL));
        if (std::filesystem::create_directory(dir, error)) {
            dir_ = dir.string();
            return;
        }
    }
    throw std::runtime_error("kivtest::TempDir: cannot create a directory in " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string TempDir::Path(const std::string& name) const { return dir_ + "/" + name; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

}  // namespace kivtest
