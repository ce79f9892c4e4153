// Checks the test servers against libcurl directly, so a failure in a
// library test can be pinned on the library rather than on its peer.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#ifndef _WIN32
#include "kivMsgLoop.h"
#endif
#include "kivtest/MessagePump.h"
#include "kivtest/RawServer.h"
#include "kivtest/TempDir.h"
#include "kivtest/TestServer.h"

namespace {

struct Fetched {
    CURLcode rc = CURLE_OK;
    long status = 0;
    std::string body;
    std::vector<std::string> headers;  // raw lines, CRLF included
    curl_off_t announced = -1;
    double seconds = 0;

    bool HasHeaderLine(const std::string& line) const {
        for (const auto& h : headers) {
            if (h == line) {
                return true;
            }
        }
        return false;
    }
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    static_cast<Fetched*>(user)->body.append(data, size * count);
    return size * count;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    static_cast<Fetched*>(user)->headers.emplace_back(data, size * count);
    return size * count;
}

// `reuse` keeps one handle, and so its connection cache, across calls.
Fetched Fetch(const std::string& url, const std::string* post = nullptr, long timeoutSec = 10,
              CURL* reuse = nullptr) {
    Fetched out;
    CURL* curl = reuse ? reuse : curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &out);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSec);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (post) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post->size()));
    }
    auto start = std::chrono::steady_clock::now();
    out.rc = curl_easy_perform(curl);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &out.announced);
    if (!reuse) {
        curl_easy_cleanup(curl);
    }
    return out;
}

TEST(TestServer, Text) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/text"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "hello, kivHttp");
    EXPECT_TRUE(r.HasHeaderLine("Content-Type: text/plain\r\n"));
    EXPECT_EQ(server.Hits("/text"), 1);
    EXPECT_EQ(server.Hits("/binary"), 0);
}

TEST(TestServer, Binary) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("binary"));
    ASSERT_EQ(r.rc, CURLE_OK);
    ASSERT_EQ(r.body.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(static_cast<unsigned char>(r.body[i]), i);
    }
}

TEST(TestServer, Big) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/big?bytes=300000"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_EQ(r.body, kivtest::PatternBytes(300000));
    EXPECT_EQ(kivtest::PatternBytes(10, 1000), kivtest::PatternBytes(1010).substr(1000));
}

TEST(TestServer, EchoPost) {
    kivtest::TestServer server;
    const std::string sent("ab\0cd", 5);
    Fetched r = Fetch(server.Url("/echo"), &sent);
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_EQ(r.body, std::string("POST\n5\nab\0cd", 12));
    EXPECT_EQ(server.Hits("/echo"), 1);
}

TEST(TestServer, EchoGet) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/echo"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_EQ(r.body, "GET\n0\n");
}

TEST(TestServer, DropDeliversLessThanAnnounced) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/drop"));
    EXPECT_EQ(r.rc, CURLE_PARTIAL_FILE);
    EXPECT_EQ(r.announced, 100000);
    EXPECT_LT(r.body.size(), 100000u);
    EXPECT_EQ(r.body, kivtest::PatternBytes(r.body.size()));
}

TEST(TestServer, RedirectIsNotFollowedByDefault) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/redirect"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_EQ(r.status, 302);
    EXPECT_TRUE(r.HasHeaderLine("Location: /text\r\n"));
    EXPECT_TRUE(r.HasHeaderLine("X-Hop: 1\r\n"));
}

// Documents what httplib puts on the wire: names keep the spelling given and
// repeated names become separate lines.
TEST(TestServer, CookieSpellingsSurvive) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/cookie/set"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_TRUE(r.HasHeaderLine("Set-Cookie: a=1\r\n"));
    EXPECT_TRUE(r.HasHeaderLine("set-cookie: b=2\r\n"));
    EXPECT_TRUE(r.HasHeaderLine("SET-COOKIE: c=3\r\n"));
    EXPECT_TRUE(r.HasHeaderLine("X-Normal: yes\r\n"));
}

TEST(TestServer, CookieEchoIsEmptyWithoutCookies) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/cookie/echo"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_EQ(r.body, "");
}

TEST(TestServer, SpacedHeaders) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/spaced-headers"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_TRUE(r.HasHeaderLine("X-Padded:    padded value   \r\n"));
    EXPECT_TRUE(r.HasHeaderLine("X-Before-Colon : spaced name\r\n"));
    EXPECT_TRUE(r.HasHeaderLine("X-Dup: one\r\n"));
    EXPECT_TRUE(r.HasHeaderLine("x-dup: three\r\n"));
}

TEST(TestServer, MissingAndStatus) {
    kivtest::TestServer server;
    Fetched missing = Fetch(server.Url("/missing"));
    EXPECT_EQ(missing.status, 404);
    EXPECT_NE(missing.body.find("<html>"), std::string::npos);
    Fetched status = Fetch(server.Url("/status?code=503"));
    EXPECT_EQ(status.status, 503);
}

TEST(TestServer, SlowIsChunked) {
    kivtest::TestServer server;
    Fetched r = Fetch(server.Url("/slow?ms=20&chunks=3"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_EQ(r.body, "xxx");
    EXPECT_TRUE(r.HasHeaderLine("Transfer-Encoding: chunked\r\n"));
    EXPECT_GE(r.seconds, 0.05);
}

TEST(TestServer, DestructionDoesNotWaitForSlowHandler) {
    auto start = std::chrono::steady_clock::now();
    {
        kivtest::TestServer server;
        Fetched r = Fetch(server.Url("/slow?ms=100000&chunks=1"), nullptr, 1);
        EXPECT_EQ(r.rc, CURLE_OPERATION_TIMEDOUT);
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}

TEST(RawServer, ScriptSendsExactBytes) {
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nX-Raw :  a  \r\n\r\nabc";
    kivtest::RawServer server(kivtest::RawServer::Script(reply, true));
    Fetched r = Fetch(server.Url("/raw"));
    ASSERT_EQ(r.rc, CURLE_OK);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "abc");
    EXPECT_TRUE(r.HasHeaderLine("X-Raw :  a  \r\n"));
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].rfind("GET /raw HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(server.Accepted(), 1);
}

TEST(RawServer, ScriptAnswersAgainOnKeptConnection) {
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    kivtest::RawServer server(kivtest::RawServer::Script(reply, false));
    const std::string body(3000, 'p');
    CURL* curl = curl_easy_init();
    Fetched first = Fetch(server.Url("/a"), &body, 10, curl);
    Fetched second = Fetch(server.Url("/b"), nullptr, 10, curl);
    curl_easy_cleanup(curl);
    EXPECT_EQ(first.body, "ok");
    EXPECT_EQ(second.body, "ok");
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Accepted(), 1);
}

TEST(RawServer, ScriptShortBodyTimesOutWhenKeptOpen) {
    kivtest::RawServer server(kivtest::RawServer::Script(
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", false));
    Fetched r = Fetch(server.Url("/"), nullptr, 1);
    EXPECT_EQ(r.rc, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(r.body, "abc");
}

TEST(RawServer, SilentTimesOut) {
    kivtest::RawServer server(kivtest::RawServer::Silent());
    Fetched r = Fetch(server.Url("/"), nullptr, 1);
    EXPECT_EQ(r.rc, CURLE_OPERATION_TIMEDOUT);
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(RawServer, NeverReadBlocksALargePost) {
    kivtest::RawServer server(kivtest::RawServer::NeverRead());
    const std::string body(32 * 1024 * 1024, 'n');
    Fetched r = Fetch(server.Url("/"), &body, 1);
    EXPECT_EQ(r.rc, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_TRUE(server.Requests().empty());
}

TEST(RefusedUrl, CannotConnect) {
    Fetched r = Fetch(kivtest::RefusedUrl());
    EXPECT_EQ(r.rc, CURLE_COULDNT_CONNECT);
}

TEST(TempDir, FilesAndCleanUp) {
    std::string dir;
    {
        kivtest::TempDir tmp;
        dir = tmp.Dir();
        const std::string bytes("a\0b", 3);
        ASSERT_TRUE(kivtest::WriteFile(tmp.Path("f.bin"), bytes));
        EXPECT_TRUE(kivtest::FileExists(tmp.Path("f.bin")));
        EXPECT_EQ(kivtest::ReadFile(tmp.Path("f.bin")), bytes);
        EXPECT_FALSE(kivtest::FileExists(tmp.Path("none")));
    }
    EXPECT_FALSE(kivtest::FileExists(dir));
}

#ifndef _WIN32
int g_hooked = 0;

// Hooks also see NOREMOVE peeks, as on Windows; count only retrievals.
intptr_t CountingHook(int code, uintptr_t wParam, intptr_t lParam) {
    if (wParam == KMSG_REMOVE) {
        ++g_hooked;
    }
    return kmsgCallNextHook(nullptr, code, wParam, lParam);
}

TEST(MessagePump, RetrievesPostedMessages) {
    g_hooked = 0;
    kmsgQueueDescriptor();  // a thread has no queue, so cannot be posted to, before this
    void* hook = kmsgSetMessageHook(CountingHook, kmsgCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    ASSERT_NE(kmsgPostThreadMessage(kmsgCurrentThreadId(), 0x8001, 0, 0), 0);
    ASSERT_NE(kmsgPostThreadMessage(kmsgCurrentThreadId(), 0x8002, 0, 0), 0);
    EXPECT_TRUE(kivtest::PumpUntil([] { return g_hooked >= 1; }, 1000));
    // done() is checked after each message, so the second is still queued.
    kmsgMessage msg;
    EXPECT_EQ(kmsgPeekMessage(&msg, KMSG_NOREMOVE), 1);
    kivtest::PumpFor(20);
    EXPECT_EQ(g_hooked, 2);
    EXPECT_EQ(kmsgPeekMessage(&msg, KMSG_NOREMOVE), 0);
    kmsgUnhook(hook);
}
#endif

TEST(MessagePump, TimesOut) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(kivtest::PumpUntil([] { return false; }, 100));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 0.099);
    EXPECT_LT(took, 2.0);
}

}  // namespace
