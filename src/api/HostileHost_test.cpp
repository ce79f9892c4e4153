// Hosts that pass what they should not: null, empty, huge and non-ASCII URLs
// and paths, paths that cannot be written, ids that were never issued, calls
// outside the started library, a message queue filled to its limit. Every
// export must give its documented result, and no result may be lost.
//
// Already covered elsewhere: null arguments of the blocking calls and null
// responses in the accessors (SyncApi_test.cpp), calls before start-up and
// after clean-up of the asynchronous exports, a second start-up and clean-up
// (AsyncApi_test.cpp), unknown and zero ids in the data service
// (DataService_test.cpp). The tables here go further and across every way in.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kivHttp.h"
#include "kivMsgLoop.h"
#include "kivtest/ApiHelpers.h"
#include "kivtest/ClosedPort.h"
#include "kivtest/kivtest.h"

namespace {

using kivtest::BodyOf;
using kivtest::HeaderOf;
using kivtest::Response;

struct Completion {
    int userData;
    int code;
    std::string body;
};
std::vector<Completion> completions;

void KIV_CALL Record(kivHttpResponse* response, int userData) {
    completions.push_back({userData, kivGetHttpCode(response), BodyOf(response)});
    kivFreeHttp(response);
}

const Completion* Find(int userData) {
    for (const Completion& c : completions) {
        if (c.userData == userData) return &c;
    }
    return nullptr;
}

class HostileHost : public testing::Test {
protected:
    void SetUp() override {
        completions.clear();
        kivHttpStartup();
    }
    void TearDown() override {
        kivHttpCleanup();
        kivtest::PumpFor(10);
    }

    kivtest::TestServer server;
    kivtest::TempDir dir;
};

// ---- URLs across every way in ------------------------------------------------

constexpr const char* kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

struct UrlCase {
    const char* title;
    bool null;               // pass a null URL
    std::string path;        // appended to the raw server's "http://127.0.0.1:PORT"
    std::string whole;       // or the whole URL, when not empty
    int code;                // 200: "ok" arrives; 0: nothing does
    std::string sentTarget;  // how the request target must begin (code 200)
};

void PrintTo(const UrlCase& c, std::ostream* os) { *os << c.title; }

const UrlCase kUrlCases[] = {
    {"null", true, "", "", 0, ""},
    {"empty", false, "", "-", 0, ""},
    {"not_a_url", false, "", "no scheme, no host", 0, ""},
    // libcurl builds no request line longer than its 1 MiB buffer, and
    // takes no URL over 8 MB at all: both fail before anything is sent.
    {"one_MiB", false, "/" + std::string(1u << 20, 'a'), "", 0, ""},
    {"nine_MB", false, "/" + std::string(9000000, 'a'), "", 0, ""},
    {"just_under_the_request_limit", false, "/" + std::string(512 * 1024, 'b'), "", 200,
     "/bbbbbbbb"},
    // Bytes outside ASCII are sent percent-encoded in the path.
    {"utf8_path_and_query", false, "/d\xC3\xA4t\xC3\xA4/\xE6\x97\xA5?q=\xC3\xBC", "", 200,
     "/d%c3%a4t%c3%a4/%e6%97%a5?q="},
    {"latin1_bytes", false, "/\xE4\xF6\xFC", "", 200, "/%e4%f6%fc "},
    // Control characters would let a URL smuggle header lines in: refused.
    {"crlf_header_injection", false, "/a\r\nX-Injected: 1\r\n", "", 0, ""},
    {"nul_cuts_the_url", false, std::string("/cut\0/rest", 10), "", 200, "/cut "},
    {"space", false, "/a b", "", 0, ""},
    {"tab", false, "/a\tb", "", 0, ""},
};

class HostileUrl : public HostileHost, public testing::WithParamInterface<UrlCase> {};

TEST_P(HostileUrl, EveryWayInGivesTheDocumentedResult) {
    const UrlCase& c = GetParam();
    kivtest::RawServer raw(kivtest::RawServer::Script(kOk, false));
    std::string built = c.whole == "-" ? "" : c.whole;
    if (c.whole.empty()) {
        built = raw.Url("/");
        built.pop_back();
        built += c.path;
    }
    const char* url = c.null ? nullptr : built.c_str();
    const std::string expectedBody = c.code == 200 ? "ok" : "";

    // Blocking calls: null when the URL is null, otherwise a response.
    {
        Response get(kivSyncGet(url));
        Response post(kivSyncPost(url, "data", 4));
        const std::string path = dir.Path("sync");
        Response download(kivSyncDownload(url, path.c_str()));
        if (c.null) {
            EXPECT_EQ(get, nullptr);
            EXPECT_EQ(post, nullptr);
            EXPECT_EQ(download, nullptr);
        } else {
            for (kivHttpResponse* r : {get.get(), post.get(), download.get()}) {
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(kivGetHttpCode(r), c.code);
            }
            EXPECT_EQ(BodyOf(get.get()), expectedBody);
            EXPECT_EQ(BodyOf(post.get()), expectedBody);
            EXPECT_EQ(kivtest::ReadFile(path), expectedBody);
            EXPECT_EQ(kivtest::FileExists(path), c.code == 200);
        }
    }

    // Queued requests take a null URL and fail it; downloads refuse it.
    const int get = kivAsyncGet(url, &Record, 1);
    const int post = kivAsyncPost(url, "data", 4, &Record, 2);
    const std::string path = dir.Path("async");
    const int download = kivAsyncDownload(url, path.c_str(), &Record, 3);
    EXPECT_NE(get, 0);
    EXPECT_NE(post, 0);
    EXPECT_EQ(download != 0, !c.null);
    const std::size_t expected = c.null ? 2u : 3u;
    ASSERT_TRUE(kivtest::PumpUntil([&] { return completions.size() == expected; }, 20000));
    kivtest::PumpFor(50);
    ASSERT_EQ(completions.size(), expected);
    for (const Completion& done : completions) {
        EXPECT_EQ(done.code, c.code) << "userData " << done.userData;
        if (done.userData != 3) {
            EXPECT_EQ(done.body, expectedBody);
        }
    }
    if (!c.null) {
        EXPECT_EQ(kivtest::ReadFile(path), expectedBody);
    }

    // What reached the server: the request target expected, and never a
    // smuggled header.
    for (const std::string& head : raw.Requests()) {
        EXPECT_EQ(head.find("X-Injected"), std::string::npos);
        const std::string target = head.substr(head.find(' ') + 1);
        EXPECT_EQ(target.compare(0, c.sentTarget.size(), c.sentTarget), 0) << head.substr(0, 80);
    }
    if (c.code == 0) {
        EXPECT_TRUE(raw.Requests().empty());
    }
    if (c.code == 200) {
        EXPECT_EQ(raw.Requests().size(), 6u);
    }
}

INSTANTIATE_TEST_SUITE_P(Urls, HostileUrl, testing::ValuesIn(kUrlCases),
                         [](const testing::TestParamInfo<UrlCase>& info) {
                             return std::string(info.param.title);
                         });

// ---- download paths ----------------------------------------------------------

struct PathCase {
    const char* title;
    // The path to download into, built inside the test's directory; null
    // stands for a null path.
    std::function<std::string(const kivtest::TempDir&)> make;
    bool written;  // the body lands in the file
    // Checked after both downloads, e.g. that a directory is still one.
    std::function<bool(const std::string&)> untouched;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.title; }

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

const PathCase kPathCases[] = {
    {"empty", [](const kivtest::TempDir&) { return std::string(); }, false, nullptr},
    {"one_MiB", [](const kivtest::TempDir& d) { return d.Path(std::string(1u << 20, 'p')); }, false,
     nullptr},
    {"utf8_name",
     [](const kivtest::TempDir& d) { return d.Path("d\xC3\xA4t\xC3\xA4-\xE6\x97\xA5.txt"); }, true,
     nullptr},
    {"latin1_name", [](const kivtest::TempDir& d) { return d.Path("\xE4\xF6\xFC.txt"); }, true,
     nullptr},
    {"a_directory", [](const kivtest::TempDir& d) { return d.Dir(); }, false, &IsDirectory},
    {"in_a_missing_directory",
     [](const kivtest::TempDir& d) { return d.Path("no/such/dir/file"); }, false,
     [](const std::string& p) { return !kivtest::FileExists(p); }},
    {"under_a_plain_file",
     [](const kivtest::TempDir& d) {
         kivtest::WriteFile(d.Path("plain"), "keep");
         return d.Path("plain/inner");
     },
     false, [](const std::string&) { return true; }},
    // Nobody, root included, creates files at the top of /proc.
    {"not_writable", [](const kivtest::TempDir&) { return std::string("/proc/kivtest-not-writable"); },
     false, [](const std::string& p) { return !kivtest::FileExists(p); }},
    // Opens, then every write fails: a full disk.
    {"disk_full", [](const kivtest::TempDir&) { return std::string("/dev/full"); }, false,
     [](const std::string& p) { return kivtest::FileExists(p); }},
};

class HostilePath : public HostileHost, public testing::WithParamInterface<PathCase> {};

TEST_P(HostilePath, DownloadsKeepStatusAndHeadersWhenTheFileCannotBeWritten) {
    const PathCase& c = GetParam();
    const std::string path = c.make(dir);
    // Larger than stdio's buffer, so that a failing write shows at once.
    const std::string url = server.Url("/big?bytes=100000");
    const std::string expected = kivtest::PatternBytes(100000);

    Response sync(kivSyncDownload(url.c_str(), path.c_str()));
    ASSERT_NE(sync, nullptr);
    EXPECT_EQ(kivGetHttpCode(sync.get()), 200);
    EXPECT_EQ(HeaderOf(sync.get(), "Content-Type"), "application/octet-stream");
    EXPECT_EQ(kivGetHttpBody(sync.get()), nullptr);
    if (c.written) {
        EXPECT_EQ(kivtest::ReadFile(path), expected);
    }
    if (c.untouched) {
        EXPECT_TRUE(c.untouched(path));
    }

    ASSERT_NE(kivAsyncDownload(url.c_str(), path.c_str(), &Record, 1), 0);
    ASSERT_TRUE(kivtest::PumpUntil([] { return completions.size() == 1; }, 20000));
    EXPECT_EQ(completions[0].code, 200);
    if (c.written) {
        EXPECT_EQ(kivtest::ReadFile(path), expected);
    }
    if (c.untouched) {
        EXPECT_TRUE(c.untouched(path));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, HostilePath, testing::ValuesIn(kPathCases),
                         [](const testing::TestParamInfo<PathCase>& info) {
                             return std::string(info.param.title);
                         });

TEST_F(HostileHost, DownloadIntoAReadOnlyDirectoryWritesNothing) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes through directory permissions";
    const std::string locked = dir.Path("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0500), 0);
    const std::string path = locked + "/file";
    Response sync(kivSyncDownload(server.Url("/text").c_str(), path.c_str()));
    EXPECT_EQ(kivGetHttpCode(sync.get()), 200);
    ASSERT_NE(kivAsyncDownload(server.Url("/text").c_str(), path.c_str(), &Record, 1), 0);
    ASSERT_TRUE(kivtest::PumpUntil([] { return completions.size() == 1; }, 20000));
    EXPECT_EQ(completions[0].code, 200);
    EXPECT_FALSE(kivtest::FileExists(path));
    ::chmod(locked.c_str(), 0700);
}

// A named pipe nobody reads: opening it for writing waits for a reader, for
// ever, where no time-out reaches. A download into it must give up like
// one into any other path it cannot write, not hang the caller (and with
// it kivAsyncCancelDownload and kivHttpCleanup, which wait for the thread).
// Should it hang, the test opens the pipe's reading end itself after a few
// seconds, so that it fails instead of hanging.
class PipeUnblocker {
public:
    explicit PipeUnblocker(std::string path) : path_(std::move(path)) {}
    ~PipeUnblocker() {
        if (fd_ >= 0) ::close(fd_);
    }
    // Opens the reading end (once) and drains what arrived.
    void Unblock() {
        if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        char buf[4096];
        while (fd_ >= 0 && ::read(fd_, buf, sizeof buf) > 0) {
        }
    }
    bool Used() const { return fd_ >= 0; }

private:
    std::string path_;
    int fd_ = -1;
};

TEST_F(HostileHost, DownloadIntoANamedPipeNobodyReadsDoesNotHang) {
    constexpr int kPatienceMs = 5000;
    const std::string syncPipe = dir.Path("sync.fifo");
    const std::string asyncPipe = dir.Path("async.fifo");
    ASSERT_EQ(::mkfifo(syncPipe.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(asyncPipe.c_str(), 0600), 0);
    const std::string url = server.Url("/text");

    std::atomic<bool> returned{false};
    int code = -1;
    std::thread blocking([&] {
        Response response(kivSyncDownload(url.c_str(), syncPipe.c_str()));
        code = kivGetHttpCode(response.get());
        returned = true;
    });
    PipeUnblocker syncReader(syncPipe);
    const bool syncInTime = kivtest::SleepUntil([&] { return returned.load(); }, kPatienceMs);
    while (!returned) {
        syncReader.Unblock();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    blocking.join();
    EXPECT_TRUE(syncInTime) << "kivSyncDownload waited for a reader of the pipe";
    EXPECT_EQ(code, 200);

    ASSERT_NE(kivAsyncDownload(url.c_str(), asyncPipe.c_str(), &Record, 1), 0);
    PipeUnblocker asyncReader(asyncPipe);
    const bool asyncInTime = kivtest::PumpUntil([] { return completions.size() == 1; }, kPatienceMs);
    while (completions.empty()) {
        asyncReader.Unblock();
        kivtest::PumpFor(10);
    }
    EXPECT_TRUE(asyncInTime) << "the download's thread waited for a reader of the pipe";
    EXPECT_EQ(completions[0].code, 200);
}

// ---- ids nobody was given ------------------------------------------------------

TEST_F(HostileHost, CancelsOfIdsNeverIssuedTouchNothingInFlight) {
    const std::string slow = server.Url("/slow?ms=20&chunks=10");
    ASSERT_EQ(kivAsyncGet(slow.c_str(), &Record, 1), 1);
    ASSERT_EQ(kivAsyncGet(server.Url("/text").c_str(), &Record, 2), 2);
    ASSERT_EQ(kivAsyncDownload(slow.c_str(), dir.Path("a").c_str(), &Record, 3), 1);
    ASSERT_EQ(kivAsyncDownload(server.Url("/text").c_str(), dir.Path("b").c_str(), &Record, 4), 2);
    for (int id : {0, -1, -2, INT_MIN, INT_MAX, 3, 1000000}) {
        kivAsyncCancel(id);
        kivAsyncCancelDownload(id);
    }
    ASSERT_TRUE(kivtest::PumpUntil([] { return completions.size() == 4; }, 20000));
    for (const Completion& c : completions) EXPECT_EQ(c.code, 200) << c.userData;
}

// A host may hold on to an id it never got: a variable not yet set, one
// from a previous start-up (ids start again at 1), one it made up. Such a
// cancel is to be ignored, also when that number is handed out afterwards.
TEST_F(HostileHost, CancelOfAnIdNotYetIssuedDoesNotCancelTheRequestThatGetsIt) {
    // The first request keeps the worker busy, so that the stale cancel is
    // still waiting to be looked at when the later requests arrive.
    ASSERT_EQ(kivAsyncGet(server.Url("/slow?ms=100&chunks=3").c_str(), &Record, 1), 1);
    kivAsyncCancel(3);
    kivAsyncCancelDownload(1);
    ASSERT_EQ(kivAsyncGet(server.Url("/text").c_str(), &Record, 2), 2);
    ASSERT_EQ(kivAsyncGet(server.Url("/text").c_str(), &Record, 3), 3);
    ASSERT_EQ(kivAsyncDownload(server.Url("/text").c_str(), dir.Path("d").c_str(), &Record, 4), 1);
    kivtest::PumpUntil([] { return completions.size() == 4; }, 10000);
    kivtest::PumpFor(100);
    EXPECT_NE(Find(1), nullptr);
    EXPECT_NE(Find(2), nullptr);
    EXPECT_NE(Find(3), nullptr) << "the request given id 3 after a cancel of 3 never came back";
    EXPECT_NE(Find(4), nullptr);
}

TEST_F(HostileHost, StaleIdsFromAnEarlierStartupCancelNothingNow) {
    ASSERT_EQ(kivAsyncGet(server.Url("/text").c_str(), &Record, 1), 1);
    ASSERT_TRUE(kivtest::PumpUntil([] { return completions.size() == 1; }, 10000));
    kivHttpCleanup();
    kivHttpStartup();
    completions.clear();
    // Id 1 was the last session's; here it goes out again, after the cancel.
    ASSERT_EQ(kivAsyncGet(server.Url("/slow?ms=50&chunks=2").c_str(), &Record, 10), 1);
    kivAsyncCancel(2);
    ASSERT_EQ(kivAsyncGet(server.Url("/text").c_str(), &Record, 11), 2);
    kivtest::PumpUntil([] { return completions.size() == 2; }, 10000);
    kivtest::PumpFor(100);
    EXPECT_EQ(completions.size(), 2u);
}

void KIV_CALL CancelOwnRequestAgain(kivHttpResponse* response, int userData) {
    Record(response, userData);
    // Its own id, already handed back, and twice: nothing happens.
    kivAsyncCancel(1);
    kivAsyncCancel(1);
}

void KIV_CALL CancelOwnDownloadAgain(kivHttpResponse* response, int userData) {
    Record(response, userData);
    kivAsyncCancelDownload(1);
    kivAsyncCancelDownload(1);
}

TEST_F(HostileHost, CancelOfAHandedBackIdInsideItsCallbackChangesNothing) {
    ASSERT_EQ(kivAsyncGet(server.Url("/text").c_str(), &CancelOwnRequestAgain, 1), 1);
    ASSERT_EQ(kivAsyncGet(server.Url("/binary").c_str(), &Record, 2), 2);
    ASSERT_EQ(kivAsyncDownload(server.Url("/text").c_str(), dir.Path("x").c_str(),
                               &CancelOwnDownloadAgain, 3),
              1);
    ASSERT_EQ(kivAsyncDownload(server.Url("/binary").c_str(), dir.Path("y").c_str(), &Record, 4), 2);
    ASSERT_TRUE(kivtest::PumpUntil([] { return completions.size() == 4; }, 10000));
    kivtest::PumpFor(100);
    EXPECT_EQ(completions.size(), 4u);
}

// ---- every export outside the started library --------------------------------

struct ExportCase {
    const char* name;
    // Runs the export; returns "" when its result is the documented one.
    std::function<std::string(const kivtest::TestServer&, const kivtest::TempDir&)> run;
};

std::string Expect(bool ok, const std::string& what) { return ok ? "" : what; }

const ExportCase kExportCases[] = {
    {"kivSyncGet",
     [](const kivtest::TestServer& s, const kivtest::TempDir&) {
         Response r(kivSyncGet(s.Url("/text").c_str()));
         return Expect(kivGetHttpCode(r.get()) == 200 && BodyOf(r.get()) == "hello, kivHttp",
                       "blocking GET needs no start-up");
     }},
    {"kivSyncPost",
     [](const kivtest::TestServer& s, const kivtest::TempDir&) {
         Response r(kivSyncPost(s.Url("/echo").c_str(), "ab", 2));
         return Expect(BodyOf(r.get()) == "POST\n2\nab", "blocking POST needs no start-up");
     }},
    {"kivSyncDownload",
     [](const kivtest::TestServer& s, const kivtest::TempDir& d) {
         const std::string path = d.Path("sync-" + std::to_string(::getpid()));
         Response r(kivSyncDownload(s.Url("/text").c_str(), path.c_str()));
         return Expect(kivGetHttpCode(r.get()) == 200 && kivtest::ReadFile(path) == "hello, kivHttp",
                       "blocking download needs no start-up");
     }},
    {"kivSyncPostFile",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         return Expect(kivSyncPostFile() == 0, "placeholder returns 0");
     }},
    {"kivAsyncPostFile",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         return Expect(kivAsyncPostFile() == 0, "placeholder returns 0");
     }},
    {"kivAsyncGet",
     [](const kivtest::TestServer& s, const kivtest::TempDir&) {
         return Expect(kivAsyncGet(s.Url("/text").c_str(), &Record, 1) == 0 &&
                           kivAsyncGet(nullptr, nullptr, 0) == 0,
                       "returns 0 when not started");
     }},
    {"kivAsyncPost",
     [](const kivtest::TestServer& s, const kivtest::TempDir&) {
         return Expect(kivAsyncPost(s.Url("/echo").c_str(), "x", 1, &Record, 1) == 0 &&
                           kivAsyncPost(s.Url("/echo").c_str(), nullptr, 0, nullptr, 0) == 0,
                       "returns 0 when not started");
     }},
    {"kivAsyncCancel",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         for (int id : {0, 1, -1, INT_MIN, INT_MAX}) kivAsyncCancel(id);
         return std::string();
     }},
    {"kivAsyncDownload",
     [](const kivtest::TestServer& s, const kivtest::TempDir& d) {
         return Expect(kivAsyncDownload(s.Url("/text").c_str(), d.Path("never").c_str(), &Record, 1) == 0 &&
                           !kivtest::FileExists(d.Path("never")),
                       "returns 0 and writes nothing when not started");
     }},
    {"kivAsyncCancelDownload",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         for (int id : {0, 1, -1, INT_MIN, INT_MAX}) kivAsyncCancelDownload(id);
         return std::string();
     }},
    {"kivGetHttpCode",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         return Expect(kivGetHttpCode(nullptr) == 0, "0 for null");
     }},
    {"kivGetHttpHeader",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         return Expect(kivGetHttpHeader(nullptr, "X") == nullptr &&
                           kivGetHttpHeader(nullptr, nullptr) == nullptr,
                       "null for null");
     }},
    {"kivGetHttpBody",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         return Expect(kivGetHttpBody(nullptr) == nullptr, "null for null");
     }},
    {"kivGetHttpBodyLen",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         return Expect(kivGetHttpBodyLen(nullptr) == 0, "0 for null");
     }},
    {"kivFreeHttp",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         kivFreeHttp(nullptr);
         return std::string();
     }},
    {"kivHttpCleanup",
     [](const kivtest::TestServer&, const kivtest::TempDir&) {
         kivHttpCleanup();
         return std::string();
     }},
};

void PrintTo(const ExportCase& c, std::ostream* os) { *os << c.name; }

class ExportOutsideTheLibrary : public testing::TestWithParam<ExportCase> {};

// kivHttpStartup is the seventeenth: it moves the library between phases.
TEST_P(ExportOutsideTheLibrary, GivesItsDocumentedResultBeforeStartupAndAfterCleanup) {
    const ExportCase& c = GetParam();
    kivtest::TestServer server;
    kivtest::TempDir dir;
    completions.clear();
    const char* phases[] = {"before start-up", "after clean-up", "after a second clean-up"};
    for (int phase = 0; phase < 3; ++phase) {
        SCOPED_TRACE(phases[phase]);
        EXPECT_EQ(c.run(server, dir), "");
        if (phase == 0) {
            kivHttpStartup();
            kivHttpCleanup();
        } else if (phase == 1) {
            kivHttpCleanup();
        }
    }
    kivtest::PumpFor(50);
    EXPECT_TRUE(completions.empty());
}

INSTANTIATE_TEST_SUITE_P(Exports, ExportOutsideTheLibrary, testing::ValuesIn(kExportCases),
                         [](const testing::TestParamInfo<ExportCase>& info) {
                             return std::string(info.param.name);
                         });

kivHttpResponse* kept = nullptr;
void KIV_CALL Keep(kivHttpResponse* response, int) { kept = response; }

TEST(HostileHostLifetime, ResponsesOutliveTheLibrary) {
    kivtest::TestServer server;
    kivHttpStartup();
    Response sync(kivSyncGet(server.Url("/text").c_str()));
    kept = nullptr;
    ASSERT_NE(kivAsyncGet(server.Url("/binary").c_str(), &Keep, 0), 0);
    ASSERT_TRUE(kivtest::PumpUntil([] { return kept != nullptr; }, 10000));
    Response async(kept);
    kivHttpCleanup();
    // Read and freed after clean-up, the host's to keep as long as it likes.
    EXPECT_EQ(BodyOf(sync.get()), "hello, kivHttp");
    EXPECT_EQ(kivGetHttpBodyLen(async.get()), 256);
    EXPECT_EQ(HeaderOf(async.get(), "Content-Type"), "application/octet-stream");
}

// ---- a message queue filled to its limit ------------------------------------

constexpr std::uint32_t kHostMessage = 0x8001;  // a host's own, in the WM_APP range

int hostMessages = 0;
intptr_t CountHostMessages(int code, uintptr_t wParam, intptr_t lParam) {
    const auto* msg = reinterpret_cast<const kmsgMessage*>(lParam);
    if (code >= 0 && msg->message == kHostMessage) ++hostMessages;
    return kmsgCallNextHook(nullptr, code, wParam, lParam);
}

// A host busy elsewhere lets its queue fill up (KMSG_QUEUE_LIMIT, like
// Windows' limit of posted messages): the library cannot post completions
// for a while. Once the host drains its queue, every result must still
// come back.
TEST_F(HostileHost, CompletionsSurviveAMessageQueueFilledToItsLimit) {
    void* hook = kmsgSetMessageHook(&CountHostMessages, kmsgCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    hostMessages = 0;
    int posted = 0;
    while (kmsgPostThreadMessage(kmsgCurrentThreadId(), kHostMessage, 0, 0) != 0) ++posted;
    ASSERT_GE(posted, 1);

    ASSERT_NE(kivAsyncGet(server.Url("/text").c_str(), &Record, 1), 0);
    ASSERT_NE(kivAsyncPost(server.Url("/echo").c_str(), "abc", 3, &Record, 2), 0);
    ASSERT_NE(kivAsyncGet(server.Url("/binary").c_str(), &Record, 3), 0);
    ASSERT_NE(kivAsyncDownload(server.Url("/text").c_str(), dir.Path("a").c_str(), &Record, 4), 0);
    ASSERT_NE(kivAsyncDownload(server.Url("/binary").c_str(), dir.Path("b").c_str(), &Record, 5), 0);
    // All performed while the queue is full.
    ASSERT_TRUE(kivtest::SleepUntil(
        [&] { return server.Hits("/text") == 2 && server.Hits("/binary") == 2 && server.Hits("/echo") == 1; },
        10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const bool all = kivtest::PumpUntil([] { return completions.size() == 5; }, 10000);
    kmsgUnhook(hook);
    EXPECT_EQ(hostMessages, posted);
    EXPECT_TRUE(all) << completions.size() << " of 5 results came back";
    for (int userData = 1; userData <= 5; ++userData) {
        const Completion* c = Find(userData);
        ASSERT_NE(c, nullptr) << "result " << userData << " lost";
        EXPECT_EQ(c->code, 200);
    }
}

}  // namespace
