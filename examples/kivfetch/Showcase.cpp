#include "Showcase.h"

#include <cstdio>

#ifdef KIVFETCH_NO_SHOWCASE

int RunShowcase(bool) {
    std::fputs("kivfetch: this build has no local server for the showcase; give a URL "
               "(see kivfetch --help)\n", stderr);
    return 2;
}

#else

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Transfers.h"
#include "kivHttp.h"
#include "kivtest/RawServer.h"
#include "kivtest/TempDir.h"
#include "kivtest/TestServer.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr int kChunkPauseMs = 25;  // about 2.5 MiB/s for each download
constexpr int kCancelAfterMs = 500;

// The sample files: name and size. Each is served paced, so that a
// download lasts long enough to watch its progress (or to be cancelled).
struct SampleFile {
    const char* name;
    std::size_t bytes;
};
constexpr SampleFile kFiles[] = {
    {"alpha.bin", 3 << 20}, {"beta.bin", 2 << 20}, {"gamma.bin", 1 << 20}, {"huge.bin", 64 << 20}};

void AddSampleFiles(httplib::Server& server) {
    // Small answers go out at once rather than waiting on the peer's ACK.
    server.set_tcp_nodelay(true);
    for (const SampleFile& file : kFiles) {
        const std::size_t total = file.bytes;
        server.Get(std::string("/files/") + file.name, [total](const httplib::Request&,
                                                                httplib::Response& res) {
            res.set_content_provider(
                total, "application/octet-stream",
                [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(kChunkPauseMs));
                    const std::string piece =
                        kivtest::PatternBytes(std::min(length, kChunk), offset);
                    return sink.write(piece.data(), piece.size());
                });
        });
    }
}

// What the tour expects of one transfer, for the summary.
struct Expectation {
    std::size_t index;
    const char* step;
    std::string expected;
    std::function<bool(const Transfer&)> met;
};

Expectation Status(std::size_t index, const char* step, int code) {
    return {index, step, std::to_string(code), [code](const Transfer& t) {
                return t.outcome == Outcome::Response && t.status == code;
            }};
}

Expectation File(std::size_t index, const char* step, long long bytes) {
    return {index, step, "200, " + HumanBytes(static_cast<double>(bytes)),
            [bytes](const Transfer& t) {
                return t.outcome == Outcome::Response && t.status == 200 && t.bytes == bytes;
            }};
}

Expectation Failed(std::size_t index, const char* step) {
    return {index, step, "failed", [](const Transfer& t) { return t.outcome == Outcome::Failed; }};
}

Expectation Cancelled(std::size_t index, const char* step) {
    return {index, step, "cancelled",
            [](const Transfer& t) { return t.outcome == Outcome::Cancelled; }};
}

std::string Result(const Transfer& t) {
    switch (t.outcome) {
        case Outcome::Response: return std::to_string(t.status);
        case Outcome::Failed: return "failed";
        case Outcome::Cancelled: return "cancelled";
        case Outcome::Running: return "running";
    }
    return "?";
}

int PrintSummary(const std::vector<Transfer>& all, const std::vector<Expectation>& expectations,
                 const std::string& origin) {
    std::printf("\n== Summary\n");
    std::printf("%3s  %-9s %-34s %-10s %10s %7s  %s\n", "#", "step", "transfer", "result",
                "size", "ms", "expected");
    int unexpected = 0;
    int row = 0;
    for (const Expectation& e : expectations) {
        const Transfer& t = all[e.index];
        std::string what = std::string(t.kind == Kind::Get    ? "GET "
                                       : t.kind == Kind::Post ? "POST "
                                                              : "download ") +
                           (t.url.compare(0, origin.size(), origin) == 0
                                ? t.url.substr(origin.size())
                                : t.url);
        if (what.size() > 34) what = what.substr(0, 31) + "...";
        const bool ok = e.met(t);
        unexpected += ok ? 0 : 1;
        std::printf("%3d  %-9s %-34s %-10s %10s %7lld  %-14s %s\n", ++row, e.step, what.c_str(),
                    Result(t).c_str(), HumanBytes(static_cast<double>(t.bytes)).c_str(), t.ms,
                    e.expected.c_str(), ok ? "ok" : "UNEXPECTED");
    }
    if (unexpected == 0) {
        std::printf("All %d transfers behaved as expected.\n", row);
        return 0;
    }
    std::printf("%d of %d transfers did not behave as expected.\n", unexpected, row);
    return 1;
}

int Tour(bool live) {
    kivtest::TestServer server(AddSampleFiles);
    kivtest::TempDir dir;
    const std::string origin = server.Url("");
    const std::string originNoSlash = origin.substr(0, origin.size() - 1);

    std::printf(
        "kivfetch showcase: no URL was given, so kivfetch serves sample content from a local\n"
        "server at %s and shows each way of using kivHttp against it.\n"
        "Run kivfetch --help to fetch URLs of your own.\n",
        origin.c_str());

    kivHttpStartup();  // this thread is the start-up thread: callbacks run here
    std::vector<Expectation> expect;
    {
        TransferSet transfers(live);
        auto heading = [&](const char* text) { transfers.Print(std::string("\n== ") + text); };

        heading("1. A blocking GET (kivfetch --sync URL): kivSyncGet returns the response");
        expect.push_back(Status(transfers.Get(server.Url("/text"), true), "blocking", 200));

        heading("2. Queued GETs (kivfetch URL...): kivAsyncGet returns an id at once, one\n"
                "   worker performs the requests in order, and each callback runs on this\n"
                "   thread, inside its message loop");
        expect.push_back(Status(transfers.Get(server.Url("/text"), false), "queued", 200));
        expect.push_back(Status(transfers.Get(server.Url("/binary"), false), "queued", 200));
        expect.push_back(Status(transfers.Get(server.Url("/redirect"), false), "queued", 200));
        expect.push_back(Status(transfers.Get(server.Url("/missing"), false), "queued", 404));
        expect.push_back(Failed(transfers.Get(kivtest::RefusedUrl("/refused"), false), "queued"));
        expect.push_back(Failed(transfers.Get("http://bad host/", false), "queued"));
        transfers.Wait();

        heading("3. A queued POST (kivfetch --post URL --data TEXT): kivAsyncPost copies the\n"
                "   body; the echo service answers with method, length and body");
        expect.push_back(Status(
            transfers.Post(server.Url("/echo"), "hello from kivfetch", false), "post", 200));
        transfers.Wait();

        heading("4. Parallel downloads (kivfetch --download DIR URL...): kivAsyncDownload\n"
                "   starts a thread for each; progress comes from the files as they grow");
        for (int i = 0; i < 3; ++i) {
            const SampleFile& file = kFiles[i];
            const std::size_t index = transfers.Download(
                server.Url(std::string("/files/") + file.name), dir.Path(file.name), false);
            expect.push_back(File(index, "download", static_cast<long long>(file.bytes)));
        }
        transfers.Wait();

        heading("5. Cancellation (kivfetch --cancel-after 500 URL...): a running GET, a GET\n"
                "   queued behind it and a download, cancelled after 500 ms; none calls back");
        expect.push_back(Cancelled(
            transfers.Get(server.Url("/slow?ms=100&chunks=100"), false), "cancel"));
        expect.push_back(Cancelled(transfers.Get(server.Url("/text"), false), "cancel"));
        expect.push_back(Cancelled(
            transfers.Download(server.Url("/files/huge.bin"), dir.Path("huge.bin"), false),
            "cancel"));
        transfers.Wait(kCancelAfterMs);

        kivHttpCleanup();
        const int status = PrintSummary(transfers.All(), expect, originNoSlash);
        std::printf("(downloads went to %s, removed now)\n", dir.Dir().c_str());
        return status;
    }
}

}  // namespace

int RunShowcase(bool live) {
    try {
        return Tour(live);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivfetch: showcase failed: %s\n", e.what());
        return 1;
    }
}

#endif
