// HTTPS as users meet it. The library sets no TLS option of its own, so
// libcurl's defaults (the system's trust store, host name checks) must carry
// it: a server whose certificate comes from a CA in the system's store works
// by every way in, also after a redirect from plain HTTP; a self-signed one
// fails with status 0 and no body, never a silent success.
//
// Run through CTest: the kiv_test_ca fixture (cmake/KivReliability.cmake,
// scripts/test-ca.sh) makes the certificates in KIV_TEST_CA_DIR and, as
// root, trusts the test CA for the length of the run. Without it the tests
// that need the trusted CA skip.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "kivHttp.h"
#include "kivtest/ApiHelpers.h"
#include "kivtest/TlsServer.h"
#include "kivtest/kivtest.h"

#ifndef KIV_TEST_CA_DIR
#error "KIV_TEST_CA_DIR names the directory scripts/test-ca.sh fills"
#endif

namespace {

using kivtest::BodyOf;
using kivtest::HeaderOf;
using kivtest::Response;

std::string CaFile(const char* name) { return std::string(KIV_TEST_CA_DIR) + "/" + name; }

struct Completion {
    int userData;
    int code;
    std::string body;
    std::string contentType;
};
std::vector<Completion> completions;

void KIV_CALL Record(kivHttpResponse* response, int userData) {
    completions.push_back({userData, kivGetHttpCode(response), BodyOf(response),
                           HeaderOf(response, "Content-Type")});
    kivFreeHttp(response);
}

class Https : public testing::Test {
protected:
    void SetUp() override {
        if (!kivtest::FileExists(CaFile("server.crt"))) {
            GTEST_SKIP() << "no certificates in " << KIV_TEST_CA_DIR
                         << ": run through ctest (fixture kiv_test_ca)";
        }
        completions.clear();
    }
    void TearDown() override {
        kivHttpCleanup();
        kivtest::PumpFor(10);
    }

    // The trusted server; skips the test when the CA is not in the store.
    void StartTrusted() {
        if (::geteuid() != 0) GTEST_SKIP() << "trusting a test CA needs root";
        if (!kivtest::FileExists(CaFile("trusted"))) {
            GTEST_SKIP() << "the test CA is not in the system trust store (fixture kiv_test_ca)";
        }
        server = std::make_unique<kivtest::TlsServer>(CaFile("server.crt"), CaFile("server.key"));
    }

    std::unique_ptr<kivtest::TlsServer> server;
    kivtest::TempDir dir;
};

TEST_F(Https, BlockingTransfersToATrustedServerSucceed) {
    StartTrusted();
    if (IsSkipped()) return;
    Response get(kivSyncGet(server->Url("/text").c_str()));
    EXPECT_EQ(kivGetHttpCode(get.get()), 200);
    EXPECT_EQ(BodyOf(get.get()), "hello over TLS");
    EXPECT_EQ(HeaderOf(get.get(), "Content-Type"), "text/plain");

    const std::string data("tls\0post", 8);
    Response post(kivSyncPost(server->Url("/echo").c_str(), data.data(), 8));
    EXPECT_EQ(kivGetHttpCode(post.get()), 200);
    EXPECT_EQ(BodyOf(post.get()), "POST\n" + data);

    const std::string path = dir.Path("big");
    Response download(kivSyncDownload(server->Url("/big?bytes=300000").c_str(), path.c_str()));
    EXPECT_EQ(kivGetHttpCode(download.get()), 200);
    EXPECT_EQ(kivtest::ReadFile(path), kivtest::PatternBytes(300000));

    // By address too: the certificate names 127.0.0.1 as well.
    const std::string byAddress = "https://127.0.0.1:" + std::to_string(server->Port()) + "/text";
    Response address(kivSyncGet(byAddress.c_str()));
    EXPECT_EQ(kivGetHttpCode(address.get()), 200);
}

TEST_F(Https, QueuedRequestsAndDownloadsToATrustedServerSucceed) {
    StartTrusted();
    if (IsSkipped()) return;
    kivHttpStartup();
    ASSERT_NE(kivAsyncGet(server->Url("/text").c_str(), &Record, 1), 0);
    ASSERT_NE(kivAsyncPost(server->Url("/echo").c_str(), "abc", 3, &Record, 2), 0);
    const std::string path = dir.Path("big");
    ASSERT_NE(kivAsyncDownload(server->Url("/big?bytes=200000").c_str(), path.c_str(), &Record, 3), 0);
    // Several in a row reuse the shared TLS sessions and the one connection.
    for (int i = 4; i < 10; ++i) ASSERT_NE(kivAsyncGet(server->Url("/text").c_str(), &Record, i), 0);
    ASSERT_TRUE(kivtest::PumpUntil([] { return completions.size() == 9; }, 30000));
    for (const Completion& c : completions) {
        EXPECT_EQ(c.code, 200) << c.userData;
        if (c.userData == 2) {
            EXPECT_EQ(c.body, "POST\nabc");
        } else if (c.userData == 3) {
            EXPECT_EQ(c.body, "");
        } else {
            EXPECT_EQ(c.body, "hello over TLS");
        }
    }
    EXPECT_EQ(kivtest::ReadFile(path), kivtest::PatternBytes(200000));
}

TEST_F(Https, RedirectFromHttpToHttpsIsFollowed) {
    StartTrusted();
    if (IsSkipped()) return;
    kivtest::RawServer plain(kivtest::RawServer::Script(
        "HTTP/1.1 301 Moved Permanently\r\nLocation: " + server->Url("/text") +
        "\r\nX-Plain: yes\r\nContent-Length: 0\r\n\r\n"));
    Response sync(kivSyncGet(plain.Url("/old").c_str()));
    EXPECT_EQ(kivGetHttpCode(sync.get()), 200);
    EXPECT_EQ(BodyOf(sync.get()), "hello over TLS");
    // Only the last block of headers is kept.
    EXPECT_EQ(HeaderOf(sync.get(), "X-Plain"), "<none>");
    EXPECT_EQ(HeaderOf(sync.get(), "Content-Type"), "text/plain");

    kivHttpStartup();
    ASSERT_NE(kivAsyncGet(plain.Url("/old").c_str(), &Record, 1), 0);
    const std::string path = dir.Path("redirected");
    ASSERT_NE(kivAsyncDownload(plain.Url("/old").c_str(), path.c_str(), &Record, 2), 0);
    ASSERT_TRUE(kivtest::PumpUntil([] { return completions.size() == 2; }, 20000));
    for (const Completion& c : completions) {
        EXPECT_EQ(c.code, 200) << c.userData;
        EXPECT_EQ(c.contentType, "text/plain") << c.userData;
    }
    EXPECT_EQ(kivtest::ReadFile(path), "hello over TLS");
}

TEST_F(Https, SecureCookiesTravelOnlyOverTls) {
    StartTrusted();
    if (IsSkipped()) return;
    kivHttpStartup();
    Response set(kivSyncGet(server->Url("/cookie/set").c_str()));
    ASSERT_EQ(kivGetHttpCode(set.get()), 200);
    Response echo(kivSyncGet(server->Url("/cookie/echo").c_str()));
    EXPECT_EQ(BodyOf(echo.get()), "tls=1");
}

// Needs no trust: nobody trusts this certificate.
TEST_F(Https, SelfSignedServerGivesStatusZeroAndNoBody) {
    kivtest::TlsServer untrusted(CaFile("self.crt"), CaFile("self.key"));
    const std::string url = untrusted.Url("/text");

    Response get(kivSyncGet(url.c_str()));
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(kivGetHttpCode(get.get()), 0);
    EXPECT_EQ(BodyOf(get.get()), "");
    EXPECT_EQ(HeaderOf(get.get(), "Content-Type"), "<none>");

    Response post(kivSyncPost(untrusted.Url("/echo").c_str(), "secret", 6));
    EXPECT_EQ(kivGetHttpCode(post.get()), 0);
    EXPECT_EQ(BodyOf(post.get()), "");

    const std::string syncPath = dir.Path("sync");
    Response download(kivSyncDownload(url.c_str(), syncPath.c_str()));
    EXPECT_EQ(kivGetHttpCode(download.get()), 0);
    EXPECT_FALSE(kivtest::FileExists(syncPath));

    kivHttpStartup();
    const std::string asyncPath = dir.Path("async");
    ASSERT_NE(kivAsyncGet(url.c_str(), &Record, 1), 0);
    ASSERT_NE(kivAsyncDownload(url.c_str(), asyncPath.c_str(), &Record, 2), 0);
    ASSERT_TRUE(kivtest::PumpUntil([] { return completions.size() == 2; }, 20000));
    for (const Completion& c : completions) {
        EXPECT_EQ(c.code, 0) << c.userData;
        EXPECT_EQ(c.body, "") << c.userData;
        EXPECT_EQ(c.contentType, "<none>") << c.userData;
    }
    EXPECT_FALSE(kivtest::FileExists(asyncPath));
}

}  // namespace
