// The transfers of one kivfetch run (one set at a time): started through kivHttp, reported as
// they complete, with a live progress line for each running download.
#ifndef KIVFETCH_TRANSFERS_H
#define KIVFETCH_TRANSFERS_H

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "kivHttp.h"

using Clock = std::chrono::steady_clock;

enum class Kind { Get, Post, Download };
enum class Outcome { Running, Response, Failed, Cancelled };

struct Transfer {
    Kind kind = Kind::Get;
    bool sync = false;
    std::string url;
    std::string path;  // downloads: the file
    std::string data;  // POST body

    int id = 0;  // the library's id (asynchronous transfers)
    Clock::time_point started;
    Outcome outcome = Outcome::Running;
    int status = 0;
    std::string contentType;
    std::string contentLength;
    long long bytes = 0;  // body bytes, or the file's size for a download
    long long ms = 0;     // from the call to the response (or the cancellation)
    std::string preview;  // a short text body, quoted
    long long cancelCallMs = -1;

    // A running download's progress, sampled from the file's size.
    long long seenBytes = 0;
    Clock::time_point seenAt;
    double rate = 0;  // bytes per second, smoothed
};

class TransferSet {
public:
    // `live`: redraw the progress lines in place (stdout is a terminal).
    explicit TransferSet(bool live);
    ~TransferSet();
    TransferSet(const TransferSet&) = delete;
    TransferSet& operator=(const TransferSet&) = delete;

    // Each performs the transfer at once when `sync` (the call blocks until
    // it ends), or starts it; returns its index.
    std::size_t Get(const std::string& url, bool sync);
    std::size_t Post(const std::string& url, const std::string& data, bool sync);
    std::size_t Download(const std::string& url, const std::string& path, bool sync);

    // Runs the message loop until every started transfer has called back.
    // With `cancelAfterMs` >= 0, what is still running that long after the
    // call is cancelled (and never calls back).
    void Wait(int cancelAfterMs = -1);

    const std::vector<Transfer>& All() const { return transfers_; }
    bool AnyFailed() const;

    // Prints a line of the host's own above the progress lines.
    void Print(const std::string& line);

    // The completion callback's work, on the main thread; takes ownership
    // of `response`.
    void Complete(std::size_t index, kivHttpResponse* response);

private:
    std::size_t Start(Transfer transfer);
    void Finish(Transfer& t, kivHttpResponse* response);
    void CancelRunning();
    void Report(const Transfer& t);
    void SampleProgress();
    void DrawProgress();
    void EraseProgress();
    std::size_t Running() const;

    std::vector<Transfer> transfers_;
    bool live_;
    int drawnLines_ = 0;
    Clock::time_point lastPlainProgress_;
};

// "12 B", "3.4 KiB", "1.2 MiB".
std::string HumanBytes(double bytes);

// A file name for what `url` names: its last path segment, made safe.
std::string FileNameFor(const std::string& url);

#endif
