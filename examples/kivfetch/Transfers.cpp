#include "Transfers.h"

#include <cstdio>
#include <filesystem>

#include "Loop.h"

namespace {

constexpr int kTickMs = 100;             // progress refresh: ten times a second
constexpr int kPlainProgressMs = 1000;   // without a terminal: a line a second
constexpr std::size_t kPreviewChars = 60;
constexpr std::size_t kProgressWidth = 78;

// Callbacks carry an int of ours, not a pointer: the set being waited for.
TransferSet* current = nullptr;

void KIV_CALL OnComplete(kivHttpResponse* response, int index) {
    if (current != nullptr && index >= 0) {
        current->Complete(static_cast<std::size_t>(index), response);
    } else {
        kivFreeHttp(response);
    }
}

long long MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

long long FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<long long>(size);
}

// The body in quotes when it is short printable text; empty otherwise.
std::string Preview(const char* body, long long length) {
    if (body == nullptr || length == 0) return {};
    std::string quoted = "\"";
    for (long long i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            quoted += static_cast<char>(c);
        } else {
            return {};  // binary, or text we would not print faithfully
        }
        if (quoted.size() > kPreviewChars) {
            return quoted + "\"...";
        }
    }
    return quoted + "\"";
}

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Get: return "GET";
        case Kind::Post: return "POST";
        case Kind::Download: return "download";
    }
    return "?";
}

std::string Label(const Transfer& t) {
    if (t.sync) return std::string("[blocking ") + KindName(t.kind) + "]";
    return std::string("[") + KindName(t.kind) + " #" + std::to_string(t.id) + "]";
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string ProgressLine(const Transfer& t, const char* suffix) {
    std::string line = "  " + Label(t) + " " +
                       std::filesystem::path(t.path).filename().string() + ": " +
                       HumanBytes(static_cast<double>(t.seenBytes)) + suffix + ", " +
                       HumanBytes(t.rate) + "/s";
    if (line.size() > kProgressWidth) line.resize(kProgressWidth);
    return line;
}

}  // namespace

std::string HumanBytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string FileNameFor(const std::string& url) {
    std::string rest = url;
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos) rest.erase(0, scheme + 3);
    rest = rest.substr(0, rest.find_first_of("?#"));
    const std::size_t slash = rest.rfind('/');
    std::string name = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    for (char& c : name) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!safe) c = '_';
    }
    if (name.empty() || name == "." || name == "..") name = "index.html";
    return name;
}

TransferSet::TransferSet(bool live) : live_(live) { current = this; }

TransferSet::~TransferSet() {
    if (current == this) current = nullptr;
}

std::size_t TransferSet::Get(const std::string& url, bool sync) {
    Transfer t;
    t.kind = Kind::Get;
    t.sync = sync;
    t.url = url;
    return Start(std::move(t));
}

std::size_t TransferSet::Post(const std::string& url, const std::string& data, bool sync) {
    Transfer t;
    t.kind = Kind::Post;
    t.sync = sync;
    t.url = url;
    t.data = data;
    return Start(std::move(t));
}

std::size_t TransferSet::Download(const std::string& url, const std::string& path, bool sync) {
    Transfer t;
    t.kind = Kind::Download;
    t.sync = sync;
    t.url = url;
    t.path = path;
    return Start(std::move(t));
}

std::size_t TransferSet::Start(Transfer transfer) {
    const std::size_t index = transfers_.size();
    transfers_.push_back(std::move(transfer));
    Transfer& t = transfers_.back();
    t.started = t.seenAt = Clock::now();
    const char* url = t.url.c_str();
    const int length = static_cast<int>(t.data.size());

    if (t.sync) {
        kivHttpResponse* response = nullptr;
        switch (t.kind) {
            case Kind::Get: response = kivSyncGet(url); break;
            case Kind::Post: response = kivSyncPost(url, t.data.data(), length); break;
            case Kind::Download: response = kivSyncDownload(url, t.path.c_str()); break;
        }
        Finish(t, response);
        return index;
    }

    const int user = static_cast<int>(index);
    switch (t.kind) {
        case Kind::Get: t.id = kivAsyncGet(url, OnComplete, user); break;
        case Kind::Post: t.id = kivAsyncPost(url, t.data.data(), length, OnComplete, user); break;
        case Kind::Download: t.id = kivAsyncDownload(url, t.path.c_str(), OnComplete, user); break;
    }
    if (t.id == 0) {  // only when the library is not started
        t.outcome = Outcome::Failed;
        Print(Label(t) + " " + t.url + "\n    not started: kivHttpStartup has not been called");
    }
    return index;
}

void TransferSet::Complete(std::size_t index, kivHttpResponse* response) {
    if (index >= transfers_.size()) {
        kivFreeHttp(response);
        return;
    }
    Finish(transfers_[index], response);
}

void TransferSet::Finish(Transfer& t, kivHttpResponse* response) {
    t.ms = MsBetween(t.started, Clock::now());
    t.status = kivGetHttpCode(response);
    // A transfer that got no HTTP response still completes, with status 0.
    t.outcome = t.status != 0 ? Outcome::Response : Outcome::Failed;
    if (const char* type = kivGetHttpHeader(response, "Content-Type")) t.contentType = type;
    if (const char* length = kivGetHttpHeader(response, "Content-Length")) t.contentLength = length;
    if (t.kind == Kind::Download) {
        t.bytes = FileSize(t.path);  // the body is in the file
    } else {
        t.bytes = kivGetHttpBodyLen(response);
        t.preview = Preview(kivGetHttpBody(response), t.bytes);
    }
    kivFreeHttp(response);
    Report(t);
}

void TransferSet::Report(const Transfer& t) {
    std::string text = Label(t) + " " + t.url;
    if (t.kind == Kind::Download) text += " -> " + t.path;
    text += "\n    ";
    const std::string after = std::to_string(t.ms) + " ms";
    switch (t.outcome) {
        case Outcome::Response:
            text += std::to_string(t.status) + ", " + HumanBytes(static_cast<double>(t.bytes)) +
                    " in " + after;
            if (t.kind == Kind::Download && t.ms > 0 && t.bytes >= 64 * 1024) {
                text += " (" + HumanBytes(t.bytes * 1000.0 / t.ms) + "/s)";
            }
            text += "; Content-Type: " + OrDash(t.contentType) +
                    "; Content-Length: " + OrDash(t.contentLength);
            if (!t.preview.empty()) text += "\n    body: " + t.preview;
            break;
        case Outcome::Failed:
            text += "failed after " + after +
                    ": no HTTP response (could not resolve host, connection refused, "
                    "timed out, or malformed URL)";
            break;
        case Outcome::Cancelled:
            text += "cancelled after " + after;
            if (t.kind == Kind::Download) {
                text += " (the cancel call returned in " + std::to_string(t.cancelCallMs) +
                        " ms); " +
                        (t.bytes > 0 ? HumanBytes(static_cast<double>(t.bytes)) + " kept in the file"
                                     : std::string("no body had arrived"));
            } else {
                text += "; no callback will come";
            }
            break;
        case Outcome::Running:
            break;
    }
    Print(text);
}

void TransferSet::Print(const std::string& text) {
    EraseProgress();
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    DrawProgress();
}

std::size_t TransferSet::Running() const {
    std::size_t running = 0;
    for (const Transfer& t : transfers_) {
        if (t.outcome == Outcome::Running) ++running;
    }
    return running;
}

bool TransferSet::AnyFailed() const {
    for (const Transfer& t : transfers_) {
        if (t.outcome == Outcome::Failed) return true;
    }
    return false;
}

void TransferSet::Wait(int cancelAfterMs) {
    const Clock::time_point start = Clock::now();
    bool cancelled = false;
    lastPlainProgress_ = start;
    RunMessageLoop([this] { return Running() == 0; },
                   [&] {
                       const Clock::time_point now = Clock::now();
                       if (cancelAfterMs >= 0 && !cancelled &&
                           MsBetween(start, now) >= cancelAfterMs) {
                           cancelled = true;
                           CancelRunning();
                       }
                       SampleProgress();
                       if (live_) {
                           EraseProgress();
                           DrawProgress();
                       } else if (MsBetween(lastPlainProgress_, now) >= kPlainProgressMs) {
                           lastPlainProgress_ = now;
                           for (const Transfer& t : transfers_) {
                               if (t.outcome == Outcome::Running && t.kind == Kind::Download) {
                                   std::puts(ProgressLine(t, " so far").c_str());
                               }
                           }
                       }
                   },
                   kTickMs);
    EraseProgress();
    std::fflush(stdout);
}

void TransferSet::CancelRunning() {
    for (Transfer& t : transfers_) {
        if (t.outcome != Outcome::Running) continue;
        if (t.kind == Kind::Download) {
            // Waits for the download's thread, which stops its transfer at once.
            const Clock::time_point before = Clock::now();
            kivAsyncCancelDownload(t.id);
            t.cancelCallMs = MsBetween(before, Clock::now());
            t.bytes = FileSize(t.path);
        } else {
            kivAsyncCancel(t.id);  // returns at once; the request will not call back
        }
        t.outcome = Outcome::Cancelled;
        t.ms = MsBetween(t.started, Clock::now());
        Report(t);
    }
}

void TransferSet::SampleProgress() {
    const Clock::time_point now = Clock::now();
    for (Transfer& t : transfers_) {
        if (t.outcome != Outcome::Running || t.kind != Kind::Download) continue;
        const double seconds = std::chrono::duration<double>(now - t.seenAt).count();
        if (seconds <= 0) continue;
        const long long size = FileSize(t.path);
        const double rate = static_cast<double>(size - t.seenBytes) / seconds;
        t.rate = t.seenBytes == 0 ? rate : 0.6 * t.rate + 0.4 * rate;
        t.seenBytes = size;
        t.seenAt = now;
    }
}

void TransferSet::DrawProgress() {
    if (!live_) return;
    for (const Transfer& t : transfers_) {
        if (t.outcome == Outcome::Running && t.kind == Kind::Download) {
            std::puts(ProgressLine(t, "").c_str());
            ++drawnLines_;
        }
    }
    std::fflush(stdout);
}

void TransferSet::EraseProgress() {
    if (drawnLines_ == 0) return;
    // Up to the first progress line, then clear to the end of the screen.
    std::printf("\x1b[%dA\x1b[J", drawnLines_);
    drawnLines_ = 0;
}
