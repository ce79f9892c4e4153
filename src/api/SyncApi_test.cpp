// Blocking transfers and the response accessors, through the exports only.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "kivHttp.h"
#include "kivtest/ApiHelpers.h"
#include "kivtest/kivtest.h"

namespace {

using kivtest::BodyOf;
using kivtest::Response;

class SyncApi : public testing::Test {
protected:
    kivtest::TestServer server;
    kivtest::TempDir dir;
};

TEST_F(SyncApi, RejectedArgumentsReturnNullAndSendNothing) {
    const std::string url = server.Url("/echo");
    EXPECT_EQ(kivSyncGet(nullptr), nullptr);
    EXPECT_EQ(kivSyncPost(nullptr, "x", 1), nullptr);
    EXPECT_EQ(kivSyncPost(url.c_str(), nullptr, 1), nullptr);
    EXPECT_EQ(kivSyncPost(url.c_str(), "x", -1), nullptr);
    EXPECT_EQ(kivSyncDownload(nullptr, dir.Path("f").c_str()), nullptr);
    EXPECT_EQ(kivSyncDownload(url.c_str(), nullptr), nullptr);
    EXPECT_EQ(server.TotalHits(), 0);
}

TEST_F(SyncApi, AccessorsAndPlaceholdersAnswerNullAndZero) {
    EXPECT_EQ(kivGetHttpCode(nullptr), 0);
    EXPECT_EQ(kivGetHttpHeader(nullptr, "Content-Type"), nullptr);
    EXPECT_EQ(kivGetHttpBody(nullptr), nullptr);
    EXPECT_EQ(kivGetHttpBodyLen(nullptr), 0);
    kivFreeHttp(nullptr);
    EXPECT_EQ(kivSyncPostFile(), 0);
    EXPECT_EQ(kivAsyncPostFile(), 0);

    Response response(kivSyncGet(server.Url("/text").c_str()));
    EXPECT_EQ(kivGetHttpHeader(response.get(), nullptr), nullptr);
}

struct GetCase {
    const char* title;
    const char* path;
    int code;
    std::string body;
    const char* header;  // looked up in the response
    const char* value;   // expected value, or null
};

void PrintTo(const GetCase& c, std::ostream* os) { *os << c.title; }

class SyncGet : public SyncApi, public testing::WithParamInterface<GetCase> {};

TEST_P(SyncGet, ReturnsStatusHeadersAndBody) {
    const GetCase& c = GetParam();
    Response response(kivSyncGet(server.Url(c.path).c_str()));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(kivGetHttpCode(response.get()), c.code);
    EXPECT_EQ(BodyOf(response.get()), c.body);
    EXPECT_EQ(kivGetHttpBody(response.get())[c.body.size()], '\0');
    const char* value = kivGetHttpHeader(response.get(), c.header);
    if (c.value == nullptr) {
        EXPECT_EQ(value, nullptr);
    } else {
        ASSERT_NE(value, nullptr);
        EXPECT_STREQ(value, c.value);
    }
}

const GetCase kGetCases[] = {
    {"text", "/text", 200, "hello, kivHttp", "content-type", "text/plain"},
    {"redirect_keeps_final_headers_only", "/redirect", 200, "hello, kivHttp", "X-Hop", nullptr},
    {"set_cookie_lines_are_not_stored", "/cookie/set", 200, "cookies set", "Set-Cookie", nullptr},
    {"other_headers_beside_cookies_are", "/cookie/set", 200, "cookies set", "X-Normal", "yes"},
};

INSTANTIATE_TEST_SUITE_P(Routes, SyncGet, testing::ValuesIn(kGetCases),
                         [](const testing::TestParamInfo<GetCase>& info) {
                             return std::string(info.param.title);
                         });

TEST_F(SyncApi, BinaryBodyKeepsEveryByte) {
    Response response(kivSyncGet(server.Url("/binary").c_str()));
    ASSERT_EQ(kivGetHttpBodyLen(response.get()), 256);
    const char* body = kivGetHttpBody(response.get());
    for (int i = 0; i < 256; ++i) ASSERT_EQ(static_cast<unsigned char>(body[i]), i);
    EXPECT_EQ(body[256], '\0');
}

TEST_F(SyncApi, NotFoundPageIsTheBody) {
    Response response(kivSyncGet(server.Url("/missing").c_str()));
    EXPECT_NE(BodyOf(response.get()).find("Not Found"), std::string::npos);
}

TEST_F(SyncApi, HeaderLookupSkipsBlanksAndEmptyDuplicates) {
    kivtest::RawServer raw(kivtest::RawServer::Script(
        "HTTP/1.1 200 OK\r\n"
        "X-First: 1\r\n"
        "  X-Lead: a\r\n"
        "X-Pad \t:  b  \r\n"
        "X-Dup:\r\n"
        "X-Dup: second\r\n"
        "Set-Cookie : spaced=1\r\n"
        "Content-Length: 2\r\n"
        "\r\n"
        "ok"));
    Response response(kivSyncGet(raw.Url("/").c_str()));
    EXPECT_EQ(kivGetHttpCode(response.get()), 200);
    EXPECT_STREQ(kivGetHttpHeader(response.get(), "x-lead"), "a");
    EXPECT_STREQ(kivGetHttpHeader(response.get(), "X-PAD"), "b  ");
    EXPECT_STREQ(kivGetHttpHeader(response.get(), "X-Dup"), "second");
    EXPECT_STREQ(kivGetHttpHeader(response.get(), "Set-Cookie"), "spaced=1");
    EXPECT_EQ(BodyOf(response.get()), "ok");
}

TEST_F(SyncApi, StatusLineWithoutReasonIsUnderstood) {
    kivtest::RawServer raw(kivtest::RawServer::Script(
        "HTTP/1.1 201\r\nContent-Length: 0\r\n\r\n"));
    Response response(kivSyncGet(raw.Url("/").c_str()));
    EXPECT_EQ(kivGetHttpCode(response.get()), 201);
}

TEST_F(SyncApi, ConnectionDroppedMidBodyKeepsWhatArrived) {
    Response response(kivSyncGet(server.Url("/drop").c_str()));
    EXPECT_EQ(kivGetHttpCode(response.get()), 200);
    EXPECT_NE(kivGetHttpHeader(response.get(), "Content-Length"), nullptr);
    const std::string body = BodyOf(response.get());
    EXPECT_GT(body.size(), 0u);
    EXPECT_LT(body.size(), 100000u);
    EXPECT_EQ(body, kivtest::PatternBytes(body.size()));
}

struct FailureCase {
    const char* title;
    std::string url;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.title; }

class SyncFailure : public SyncApi, public testing::WithParamInterface<FailureCase> {};

TEST_P(SyncFailure, GivesStatusZeroNoHeadersAndEmptyBody) {
    Response response(kivSyncGet(GetParam().url.c_str()));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(kivGetHttpCode(response.get()), 0);
    EXPECT_EQ(kivGetHttpHeader(response.get(), ""), nullptr);
    EXPECT_EQ(kivGetHttpHeader(response.get(), "Content-Type"), nullptr);
    ASSERT_NE(kivGetHttpBody(response.get()), nullptr);
    EXPECT_STREQ(kivGetHttpBody(response.get()), "");
    EXPECT_EQ(kivGetHttpBodyLen(response.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Causes, SyncFailure,
                         testing::Values(FailureCase{"unresolvable", "http://nonexistent.invalid/"},
                                         FailureCase{"refused", kivtest::RefusedUrl()},
                                         FailureCase{"malformed", "http//no-scheme"},
                                         FailureCase{"empty", ""}),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.title);
                         });

TEST_F(SyncApi, ServerThatNeverAnswersTimesOutWithStatusZero) {
    kivtest::RawServer silent(kivtest::RawServer::Silent());
    Response response(kivSyncGet(silent.Url("/").c_str()));
    EXPECT_EQ(kivGetHttpCode(response.get()), 0);
    EXPECT_EQ(kivGetHttpBodyLen(response.get()), 0);
}

TEST_F(SyncApi, PostSendsTheBytesInPlace) {
    const std::string data("bin\0ary", 7);
    Response response(kivSyncPost(server.Url("/echo").c_str(), data.data(), 7));
    EXPECT_EQ(kivGetHttpCode(response.get()), 200);
    EXPECT_EQ(BodyOf(response.get()), "POST\n7\n" + data);

    Response empty(kivSyncPost(server.Url("/echo").c_str(), "ignored", 0));
    EXPECT_EQ(BodyOf(empty.get()), "POST\n0\n");
}

TEST_F(SyncApi, DownloadWritesTheBodyToTheFile) {
    const std::string path = dir.Path("big.bin");
    Response response(kivSyncDownload(server.Url("/big?bytes=300000").c_str(), path.c_str()));
    EXPECT_EQ(kivGetHttpCode(response.get()), 200);
    EXPECT_EQ(kivGetHttpBody(response.get()), nullptr);
    EXPECT_EQ(kivGetHttpBodyLen(response.get()), 0);
    EXPECT_NE(kivGetHttpHeader(response.get(), "Content-Type"), nullptr);
    EXPECT_EQ(kivtest::ReadFile(path), kivtest::PatternBytes(300000));
}

TEST_F(SyncApi, DownloadOfErrorPageWritesItAndReportsTheStatus) {
    const std::string path = dir.Path("missing.html");
    Response response(kivSyncDownload(server.Url("/missing").c_str(), path.c_str()));
    EXPECT_EQ(kivGetHttpCode(response.get()), 404);
    EXPECT_NE(kivtest::ReadFile(path).find("Not Found"), std::string::npos);
}

TEST_F(SyncApi, DownloadThatReceivesNothingLeavesFilesAlone) {
    const std::string existing = dir.Path("existing");
    ASSERT_TRUE(kivtest::WriteFile(existing, "keep me"));
    Response refused(kivSyncDownload(kivtest::RefusedUrl().c_str(), existing.c_str()));
    EXPECT_EQ(kivGetHttpCode(refused.get()), 0);
    EXPECT_EQ(kivtest::ReadFile(existing), "keep me");

    const std::string fresh = dir.Path("fresh");
    Response unresolvable(kivSyncDownload("http://nonexistent.invalid/", fresh.c_str()));
    EXPECT_EQ(kivGetHttpCode(unresolvable.get()), 0);
    EXPECT_FALSE(kivtest::FileExists(fresh));
}

TEST_F(SyncApi, DownloadIntoAnUnopenableFileKeepsStatusAndHeaders) {
    const std::string path = dir.Path("no/such/dir/file");
    Response response(kivSyncDownload(server.Url("/text").c_str(), path.c_str()));
    EXPECT_EQ(kivGetHttpCode(response.get()), 200);
    EXPECT_STREQ(kivGetHttpHeader(response.get(), "Content-Type"), "text/plain");
    EXPECT_FALSE(kivtest::FileExists(path));
}

std::string EchoedCookies(const kivtest::TestServer& server) {
    Response set(kivSyncGet(server.Url("/cookie/set").c_str()));
    Response echo(kivSyncGet(server.Url("/cookie/echo").c_str()));
    return BodyOf(echo.get());
}

TEST_F(SyncApi, CookiesAreSharedOnlyWhileTheLibraryIsStarted) {
    EXPECT_EQ(EchoedCookies(server), "");

    kivHttpStartup();
    const std::string shared = EchoedCookies(server);
    kivHttpCleanup();
    for (const char* cookie : {"a=1", "b=2", "c=3"}) {
        EXPECT_NE(shared.find(cookie), std::string::npos) << shared;
    }

    EXPECT_EQ(EchoedCookies(server), "");
}

}  // namespace
