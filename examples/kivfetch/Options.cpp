#include "Options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

const char kUsage[] =
    "usage: kivfetch [--sync] [--cancel-after MS] URL...\n"
    "       kivfetch [--sync] [--cancel-after MS] --post URL --data TEXT|@FILE\n"
    "       kivfetch [--sync] [--cancel-after MS] --download DIR URL...\n"
    "       kivfetch            (no URL: a showcase against a local server it starts)\n"
    "\n"
    "Fetches URLs with kivHttp. GETs and POSTs go through the library's queue,\n"
    "downloads run in parallel, one thread each, with a live progress line;\n"
    "every completion is reported by the callback on the main thread's loop.\n"
    "\n"
    "  --sync             use the blocking calls instead (one transfer at a time)\n"
    "  --post URL         POST to URL the bytes given with --data\n"
    "  --data TEXT|@FILE  the POST body: TEXT itself, or the contents of FILE\n"
    "  --download DIR     save each URL into DIR, named after its last path segment\n"
    "  --cancel-after MS  cancel what is still running MS milliseconds after the start\n"
    "  -h, --help         this text\n"
    "\n"
    "Exit status: 0 when every transfer got an HTTP response (whatever its code)\n"
    "or was cancelled as asked, 1 when a transfer failed, 2 for a bad command line.\n";

namespace {

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

// Writes and removes a probe file: the only test that answers for
// permissions, read-only file systems and paths that are not directories.
bool DirectoryWritable(const std::string& dir, std::string& error) {
    const std::string probe = dir + "/.kivfetch-probe";
    std::FILE* file = std::fopen(probe.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write to directory '" + dir + "': " + std::strerror(errno);
        return false;
    }
    std::fclose(file);
    std::remove(probe.c_str());
    return true;
}

bool ParseMilliseconds(const std::string& text, int& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    std::string postUrl;
    const char* data = nullptr;
    bool post = false;
    bool download = false;
    bool onlyUrls = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // The options that take a value; the value may start with a dash.
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                error = arg + " needs " + what;
                return nullptr;
            }
            return argv[++i];
        };
        if (onlyUrls || arg.empty() || arg[0] != '-' || arg == "-") {
            options.urls.push_back(arg);
        } else if (arg == "--") {
            onlyUrls = true;
        } else if (arg == "-h" || arg == "--help") {
            options.mode = Mode::Help;
            return true;
        } else if (arg == "--sync") {
            options.sync = true;
        } else if (arg == "--post") {
            const char* url = value("a URL");
            if (url == nullptr) return false;
            postUrl = url;
            post = true;
        } else if (arg == "--data") {
            if ((data = value("TEXT or @FILE")) == nullptr) return false;
        } else if (arg == "--download") {
            const char* dir = value("a directory");
            if (dir == nullptr) return false;
            options.downloadDir = dir;
            download = true;
        } else if (arg == "--cancel-after") {
            const char* ms = value("a number of milliseconds");
            if (ms == nullptr) return false;
            if (!ParseMilliseconds(ms, options.cancelAfterMs)) {
                error = "--cancel-after wants a number of milliseconds, not '" + std::string(ms) + "'";
                return false;
            }
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }

    if (post && download) {
        error = "--post and --download cannot be combined";
        return false;
    }
    if (data != nullptr && !post) {
        error = "--data goes with --post";
        return false;
    }
    if (options.sync && options.cancelAfterMs >= 0) {
        error = "--cancel-after cannot stop a blocking call; leave out --sync";
        return false;
    }

    if (post) {
        if (!options.urls.empty()) {
            error = "--post takes one URL; unexpected '" + options.urls.front() + "'";
            return false;
        }
        if (data == nullptr) {
            error = "--post needs --data TEXT or --data @FILE";
            return false;
        }
        if (data[0] == '@') {
            if (!ReadWholeFile(data + 1, options.postData, error)) return false;
        } else {
            options.postData = data;
        }
        if (options.postData.size() > static_cast<std::size_t>(INT_MAX)) {
            error = "the --data body is larger than 2 GiB";
            return false;
        }
        options.urls.assign(1, postUrl);
        options.mode = Mode::Post;
        return true;
    }
    if (download) {
        if (options.urls.empty()) {
            error = "--download DIR needs at least one URL";
            return false;
        }
        if (!DirectoryWritable(options.downloadDir, error)) return false;
        options.mode = Mode::Download;
        return true;
    }
    if (options.urls.empty()) {
        if (argc > 1) {
            error = "no URL given";
            return false;
        }
        options.mode = Mode::Showcase;
        return true;
    }
    options.mode = Mode::Get;
    return true;
}
