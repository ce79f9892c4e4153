// Servers that misbehave on purpose: oversized and endless header blocks,
// no HTTP at all, redirect loops and dead ends, broken chunking, bodies that
// never end and peers that never read. Every case must give the documented
// response (the status received, the headers of the last block received,
// the body that arrived) through each way in, and nothing may crash or hang
// past the 15-second time-out.
//
// Already covered elsewhere: a status line without a reason, a connection
// dropped mid-body and a server that never answers (SyncApi_test.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kivHttp.h"
#include "kivtest/ApiHelpers.h"
#include "kivtest/ChaosServer.h"
#include "kivtest/ClosedPort.h"
#include "kivtest/kivtest.h"

namespace {

using kivtest::BodyOf;
using kivtest::HeaderOf;
using kivtest::Response;

// libcurl gives up well before this on everything but the time-out cases.
constexpr double kPromptSeconds = 10.0;

// What one way in handed back, reduced to what the tests compare.
struct Got {
    int code = -1;
    std::string body;
    std::vector<std::string> headers;  // values of the looked-up names
    double seconds = 0;
};

Got Capture(kivHttpResponse* response, const std::vector<const char*>& names, double seconds) {
    Got got;
    got.code = kivGetHttpCode(response);
    got.body = BodyOf(response);
    for (const char* name : names) got.headers.push_back(HeaderOf(response, name));
    got.seconds = seconds;
    return got;
}

struct AsyncCapture {
    bool done = false;
    Got got;
    const std::vector<const char*>* names = nullptr;
    kivtest::Stopwatch clock;
};
AsyncCapture* asyncCapture = nullptr;

void KIV_CALL OnAsync(kivHttpResponse* response, int) {
    asyncCapture->got = Capture(response, *asyncCapture->names, asyncCapture->clock.Seconds());
    asyncCapture->done = true;
    kivFreeHttp(response);
}

// ---- scripted answers ----------------------------------------------------

struct HostileCase {
    const char* title;
    std::function<std::string(const kivtest::ClosedPort&)> script;
    bool keepOpen;  // answer every request on one kept connection
    int code;
    std::string body;
    // Header names looked up, and the value each must have ("<none>": absent).
    std::vector<const char*> names;
    std::vector<std::string> values;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.title; }

std::string HugeHeaderBlock() {
    std::string text = "HTTP/1.1 200 OK\r\nX-First: here\r\n";
    const std::string filler = "X-Filler: " + std::string(100, 'f') + "\r\n";
    while (text.size() < (10u << 20)) text += filler;
    return text + "Content-Length: 2\r\nX-Last: never seen\r\n\r\nok";
}

std::string ManyHeaderLines(int count) {
    std::string text = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < count; ++i) text += "X-Line-" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
    return text + "Content-Length: 2\r\n\r\nok";
}

const HostileCase kCases[] = {
    // libcurl stops reading a response whose header blocks pass 300 KiB:
    // the status and the headers before that point arrive, the body never.
    {"ten_MiB_of_header_text", [](const kivtest::ClosedPort&) { return HugeHeaderBlock(); }, false,
     200, "", {"X-First", "X-Filler", "X-Last", "Content-Length"},
     {"here", std::string(100, 'f'), "<none>", "<none>"}},
    {"hundred_thousand_header_lines",
     [](const kivtest::ClosedPort&) { return ManyHeaderLines(100000); }, false, 200, "",
     {"X-Line-0", "X-Line-99999"}, {"0", "<none>"}},
    // Below that limit even ten thousand lines are all kept and searched.
    {"ten_thousand_header_lines",
     [](const kivtest::ClosedPort&) { return ManyHeaderLines(10000); }, false, 200, "ok",
     {"X-Line-0", "x-line-9999", "Content-Length"}, {"0", "9999", "2"}},
    {"garbage_text_instead_of_http",
     [](const kivtest::ClosedPort&) { return std::string("this is not http\r\n\r\nat all"); },
     false, 0, "", {"this is not http"}, {"<none>"}},
    {"binary_garbage_instead_of_http",
     [](const kivtest::ClosedPort&) {
         return std::string("\x00\x01\xff\xfe\x80garbage\x00\r\n\r\n\x7f", 17);
     },
     false, 0, "", {""}, {"<none>"}},
    {"connection_closed_without_a_byte", [](const kivtest::ClosedPort&) { return std::string(); },
     false, 0, "", {"Content-Length"}, {"<none>"}},
    // Answered on one kept connection, hop after hop, until libcurl's limit
    // on the header bytes of a transfer (redirects included) ends it.
    {"redirect_loop",
     [](const kivtest::ClosedPort&) {
         return std::string("HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n");
     },
     true, 302, "", {"Location"}, {"/loop"}},
    {"redirect_to_an_unreachable_host",
     [](const kivtest::ClosedPort& closed) {
         return "HTTP/1.1 302 Found\r\nLocation: " + closed.Url("/gone") +
                "\r\nX-Hop: first\r\nContent-Length: 5\r\n\r\nmoved";
     },
     false, 302, "", {"X-Hop", "Location"}, {"first", "<closed>"}},
    {"chunked_body_with_a_broken_chunk_size",
     [](const kivtest::ClosedPort&) {
         return std::string(
             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
             "5\r\nhello\r\nZZZ\r\nbroken\r\n0\r\n\r\n");
     },
     false, 200, "hello", {"Transfer-Encoding"}, {"chunked"}},
    {"chunked_body_cut_inside_a_chunk",
     [](const kivtest::ClosedPort&) {
         return std::string(
             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n10\r\nshort");
     },
     false, 200, "helloshort", {"Transfer-Encoding"}, {"chunked"}},
    {"content_length_shorter_than_the_body",
     [](const kivtest::ClosedPort&) {
         return std::string("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef");
     },
     false, 200, "abc", {"Content-Length"}, {"3"}},
    // libcurl stops at the line that makes no sense: the status and the
    // lines before it arrive, that line and the body do not.
    {"negative_content_length",
     [](const kivtest::ClosedPort&) {
         return std::string("HTTP/1.1 200 OK\r\nX-Before: 1\r\nContent-Length: -5\r\n\r\nabc");
     },
     false, 200, "", {"X-Before", "Content-Length"}, {"1", "<none>"}},
};

class HostileAnswer : public testing::TestWithParam<HostileCase> {
protected:
    void SetUp() override {
        kivHttpStartup();
        asyncCapture = nullptr;
    }
    void TearDown() override {
        kivHttpCleanup();
        kivtest::PumpFor(10);
    }

    void Expect(const Got& got, const HostileCase& c, const char* way) {
        SCOPED_TRACE(way);
        EXPECT_EQ(got.code, c.code);
        EXPECT_LT(got.seconds, kPromptSeconds);
        for (std::size_t i = 0; i < c.names.size(); ++i) {
            const std::string expected =
                c.values[i] == "<closed>" ? closed.Url("/gone") : c.values[i];
            EXPECT_EQ(got.headers[i], expected) << "header " << c.names[i];
        }
    }

    kivtest::ClosedPort closed;
    kivtest::TempDir dir;
};

TEST_P(HostileAnswer, GivesTheDocumentedResponseEveryWayIn) {
    const HostileCase& c = GetParam();
    kivtest::RawServer raw(kivtest::RawServer::Script(c.script(closed), !c.keepOpen));
    const std::string url = raw.Url("/");

    {
        kivtest::Stopwatch clock;
        Response response(kivSyncGet(url.c_str()));
        ASSERT_NE(response, nullptr);
        const Got got = Capture(response.get(), c.names, clock.Seconds());
        Expect(got, c, "kivSyncGet");
        EXPECT_EQ(got.body, c.body);
    }
    {
        AsyncCapture capture;
        capture.names = &c.names;
        asyncCapture = &capture;
        ASSERT_NE(kivAsyncGet(url.c_str(), &OnAsync, 0), 0);
        ASSERT_TRUE(kivtest::PumpUntil([&] { return capture.done; }, 30000));
        Expect(capture.got, c, "kivAsyncGet");
        EXPECT_EQ(capture.got.body, c.body);
        asyncCapture = nullptr;
    }
    {
        const std::string path = dir.Path("download");
        kivtest::Stopwatch clock;
        Response response(kivSyncDownload(url.c_str(), path.c_str()));
        ASSERT_NE(response, nullptr);
        const Got got = Capture(response.get(), c.names, clock.Seconds());
        Expect(got, c, "kivSyncDownload");
        EXPECT_EQ(got.body, "");
        // The file holds what arrived, and exists only if something did.
        EXPECT_EQ(kivtest::ReadFile(path), c.body);
        EXPECT_EQ(kivtest::FileExists(path), !c.body.empty());
    }
    EXPECT_GE(raw.Accepted(), 1);
}

INSTANTIATE_TEST_SUITE_P(Scripts, HostileAnswer, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.title);
                         });

// ---- the time-out cases ----------------------------------------------------
//
// Each way in runs side by side, so that one test costs one time-out.

constexpr double kTimeoutSeconds = 15.0;

class HostileTimeout : public testing::Test {
protected:
    void SetUp() override {
        kivHttpStartup();
    }
    void TearDown() override {
        kivHttpCleanup();
        kivtest::PumpFor(10);
    }

    kivtest::TempDir dir;
};

void ExpectTimedOut(double seconds, const char* way) {
    EXPECT_GE(seconds, kTimeoutSeconds - 0.5) << way;
    EXPECT_LT(seconds, kTimeoutSeconds + 10.0) << way;
}

int endlessCallbacks = 0;
Got endlessDownload;
void KIV_CALL OnEndlessDownload(kivHttpResponse* response, int) {
    ++endlessCallbacks;
    endlessDownload = Capture(response, {"Transfer-Encoding"}, 0);
    kivFreeHttp(response);
}

TEST_F(HostileTimeout, BodyThatNeverEndsStopsAtTheTotalTimeOutWithWhatArrived) {
    kivtest::ChaosServer server;
    const std::string url = server.Url("/endless");
    const std::vector<const char*> names = {"Transfer-Encoding"};
    auto isPrefix = [](const std::string& body) {
        return !body.empty() && body == kivtest::PatternBytes(body.size());
    };

    Got sync;
    std::thread blocking([&] {
        kivtest::Stopwatch clock;
        Response response(kivSyncGet(url.c_str()));
        sync = Capture(response.get(), names, clock.Seconds());
    });

    AsyncCapture capture;
    capture.names = &names;
    asyncCapture = &capture;
    endlessCallbacks = 0;
    const std::string path = dir.Path("endless");
    kivtest::Stopwatch clock;
    ASSERT_NE(kivAsyncGet(url.c_str(), &OnAsync, 0), 0);
    ASSERT_NE(kivAsyncDownload(url.c_str(), path.c_str(), &OnEndlessDownload, 0), 0);
    const bool both = kivtest::PumpUntil([&] { return capture.done && endlessCallbacks == 1; }, 40000);
    const double downloadSeconds = clock.Seconds();
    blocking.join();
    asyncCapture = nullptr;
    ASSERT_TRUE(both);

    ExpectTimedOut(sync.seconds, "kivSyncGet");
    EXPECT_EQ(sync.code, 200);
    EXPECT_EQ(sync.headers[0], "chunked");
    EXPECT_TRUE(isPrefix(sync.body)) << sync.body.size() << " bytes";

    ExpectTimedOut(capture.got.seconds, "kivAsyncGet");
    EXPECT_EQ(capture.got.code, 200);
    EXPECT_EQ(capture.got.headers[0], "chunked");
    EXPECT_TRUE(isPrefix(capture.got.body)) << capture.got.body.size() << " bytes";

    ExpectTimedOut(downloadSeconds, "kivAsyncDownload");
    EXPECT_EQ(endlessDownload.code, 200);
    EXPECT_EQ(endlessDownload.headers[0], "chunked");
    EXPECT_TRUE(isPrefix(kivtest::ReadFile(path)));
}

TEST_F(HostileTimeout, HeaderBlockThatNeverEndsTimesOutWithTheLinesReceived) {
    kivtest::RawServer raw(
        kivtest::RawServer::Script("HTTP/1.1 200 OK\r\nX-Early: yes\r\nX-Unfinished: ", false));
    kivtest::Stopwatch clock;
    Response response(kivSyncGet(raw.Url("/").c_str()));
    ExpectTimedOut(clock.Seconds(), "kivSyncGet");
    EXPECT_EQ(kivGetHttpCode(response.get()), 200);
    EXPECT_EQ(HeaderOf(response.get(), "X-Early"), "yes");
    EXPECT_EQ(kivGetHttpBodyLen(response.get()), 0);
}

TEST_F(HostileTimeout, ServerThatNeverReadsABigPostTimesOutWithStatusZero) {
    kivtest::RawServer raw(kivtest::RawServer::NeverRead());
    const std::string url = raw.Url("/upload");
    // Far more than the socket buffers take, so the sender must block.
    const std::string data(32u << 20, 'p');
    const std::vector<const char*> names = {"Content-Length"};

    Got sync;
    std::thread blocking([&] {
        kivtest::Stopwatch clock;
        Response response(kivSyncPost(url.c_str(), data.data(), static_cast<int>(data.size())));
        sync = Capture(response.get(), names, clock.Seconds());
    });
    AsyncCapture capture;
    capture.names = &names;
    asyncCapture = &capture;
    ASSERT_NE(kivAsyncPost(url.c_str(), data.data(), static_cast<int>(data.size()), &OnAsync, 0), 0);
    const bool done = kivtest::PumpUntil([&] { return capture.done; }, 40000);
    blocking.join();
    asyncCapture = nullptr;
    ASSERT_TRUE(done);

    for (const Got* got : {&sync, &capture.got}) {
        ExpectTimedOut(got->seconds, got == &sync ? "kivSyncPost" : "kivAsyncPost");
        EXPECT_EQ(got->code, 0);
        EXPECT_EQ(got->body, "");
        EXPECT_EQ(got->headers[0], "<none>");
    }
    EXPECT_EQ(raw.Accepted(), 2);
}

}  // namespace
