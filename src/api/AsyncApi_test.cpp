// The asynchronous side through the exported functions only, with the
// test's own thread as the start-up thread and its queue pumped by the test.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kivHttp.h"
#include "kivtest/ApiHelpers.h"
#include "kivtest/kivtest.h"

namespace {

struct Completion {
    int userData;
    int code;
    int bodyLength;
    bool hasBody;
    std::uint32_t thread;
};

std::vector<Completion> completions;

void KIV_CALL Record(kivHttpResponse* response, int userData) {
    completions.push_back({userData, kivGetHttpCode(response), kivGetHttpBodyLen(response),
                           kivGetHttpBody(response) != nullptr, kivtest::CurrentThreadId()});
    kivFreeHttp(response);
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    return kivtest::PumpUntil(done, timeoutMs);
}

// Waits without retrieving messages, so that completions stay queued.
void SleepUntil(const std::function<bool()>& done) { kivtest::SleepUntil(done, 10000); }

class AsyncApi : public testing::Test {
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

TEST(AsyncApiLifecycle, CallsBeforeStartupAndAfterCleanupDoNothing) {
    kivtest::TestServer server;
    kivtest::TempDir dir;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(kivAsyncGet(server.Url("/text").c_str(), &Record, 1), 0);
        EXPECT_EQ(kivAsyncPost(server.Url("/echo").c_str(), "x", 1, &Record, 1), 0);
        EXPECT_EQ(kivAsyncDownload(server.Url("/text").c_str(), dir.Path("f").c_str(), &Record, 1),
                  0);
        kivAsyncCancel(1);
        kivAsyncCancelDownload(1);
        kivHttpCleanup();  // harmless when not started
        kivHttpStartup();
        kivHttpCleanup();
    }
    kivtest::PumpFor(100);
    EXPECT_EQ(server.TotalHits(), 0);
    EXPECT_FALSE(kivtest::FileExists(dir.Path("f")));
}

TEST(AsyncApiLifecycle, SecondStartupKeepsCountersAndCleanupRestartsThem) {
    kivtest::TestServer server;
    kivtest::TempDir dir;
    const std::string url = server.Url("/text");
    kivHttpStartup();
    EXPECT_EQ(kivAsyncGet(url.c_str(), nullptr, 0), 1);
    EXPECT_EQ(kivAsyncDownload(url.c_str(), dir.Path("a").c_str(), nullptr, 0), 1);
    kivHttpStartup();
    EXPECT_EQ(kivAsyncGet(url.c_str(), nullptr, 0), 2);
    EXPECT_EQ(kivAsyncDownload(url.c_str(), dir.Path("b").c_str(), nullptr, 0), 2);
    kivHttpCleanup();
    kivHttpCleanup();
    kivHttpStartup();
    EXPECT_EQ(kivAsyncGet(url.c_str(), nullptr, 0), 1);
    EXPECT_EQ(kivAsyncDownload(url.c_str(), dir.Path("c").c_str(), nullptr, 0), 1);
    kivHttpCleanup();
}

TEST(AsyncApiLifecycle, LaterStartupOnAnotherThreadDeliversThere) {
    kivtest::TestServer server;
    kivHttpStartup();
    kivHttpCleanup();
    std::uint32_t deliveredOn = 0, loopThread = 0;
    std::thread host([&] {
        completions.clear();
        loopThread = kivtest::CurrentThreadId();
        kivHttpStartup();
        kivAsyncGet(server.Url("/text").c_str(), &Record, 1);
        kivtest::PumpUntil([] { return !completions.empty(); }, 10000);
        if (!completions.empty()) deliveredOn = completions[0].thread;
        kivHttpCleanup();
    });
    host.join();
    EXPECT_NE(loopThread, kivtest::CurrentThreadId());
    EXPECT_EQ(deliveredOn, loopThread);
}

TEST_F(AsyncApi, GetAndPostCompleteOnTheStartupThread) {
    EXPECT_EQ(kivAsyncGet(server.Url("/binary").c_str(), &Record, 1), 1);
    EXPECT_EQ(kivAsyncPost(server.Url("/echo").c_str(), "abc", 3, &Record, 2), 2);
    EXPECT_EQ(kivAsyncPost(server.Url("/echo").c_str(), nullptr, 3, &Record, 3), 0);
    EXPECT_EQ(kivAsyncPost(server.Url("/echo").c_str(), "abc", -3, &Record, 3), 0);
    ASSERT_TRUE(WaitFor([] { return completions.size() == 2; }));
    EXPECT_EQ(completions[0].code, 200);
    EXPECT_EQ(completions[0].bodyLength, 256);
    EXPECT_EQ(completions[1].bodyLength, static_cast<int>(std::string("POST\n3\nabc").size()));
    for (const Completion& c : completions) EXPECT_EQ(c.thread, kivtest::CurrentThreadId());
}

TEST_F(AsyncApi, NullUrlIsQueuedAndFailsWithStatusZero) {
    EXPECT_NE(kivAsyncGet(nullptr, &Record, 7), 0);
    ASSERT_TRUE(WaitFor([] { return completions.size() == 1; }));
    EXPECT_EQ(completions[0].code, 0);
    EXPECT_EQ(completions[0].bodyLength, 0);
}

TEST_F(AsyncApi, DownloadRejectsNullArgumentsAndWritesTheFile) {
    EXPECT_EQ(kivAsyncDownload(nullptr, dir.Path("x").c_str(), &Record, 1), 0);
    EXPECT_EQ(kivAsyncDownload(server.Url("/big?bytes=100000").c_str(), nullptr, &Record, 1), 0);
    EXPECT_EQ(kivAsyncDownload(server.Url("/big?bytes=100000").c_str(), dir.Path("big").c_str(),
                               &Record, 5),
              1);
    EXPECT_EQ(kivAsyncDownload(server.Url("/text").c_str(), dir.Path("quiet").c_str(), nullptr, 6),
              2);
    ASSERT_TRUE(WaitFor([&] {
        return completions.size() == 1 && kivtest::ReadFile(dir.Path("quiet")) == "hello, kivHttp";
    }));
    kivtest::PumpFor(100);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].userData, 5);
    EXPECT_EQ(completions[0].code, 200);
    EXPECT_FALSE(completions[0].hasBody);
    EXPECT_EQ(kivtest::ReadFile(dir.Path("big")), kivtest::PatternBytes(100000));
}

TEST_F(AsyncApi, DownloadsFinishedBeforeTheLoopRunsComeBackInStartOrderFromOneMessage) {
    for (int i = 1; i <= 3; ++i) {
        const std::string path = dir.Path("file" + std::to_string(i));
        kivAsyncDownload(server.Url("/text").c_str(), path.c_str(), &Record, i);
    }
    // A file is complete once closed, just before its download is marked
    // finished; the pause covers that last step even on a loaded machine.
    SleepUntil([&] {
        for (int i = 1; i <= 3; ++i) {
            if (kivtest::ReadFile(dir.Path("file" + std::to_string(i))) != "hello, kivHttp") {
                return false;
            }
        }
        return true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    ASSERT_TRUE(kivtest::PeekOneMessage(true));
    ASSERT_EQ(completions.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(completions[i].userData, i + 1);
    kivtest::PumpFor(100);  // the other two messages find nothing
    EXPECT_EQ(completions.size(), 3u);
}

TEST_F(AsyncApi, CancelledDownloadsNeverCallBack) {
    // Right after the start.
    const int early = kivAsyncDownload(server.Url("/text").c_str(), dir.Path("early").c_str(),
                                       &Record, 1);
    kivAsyncCancelDownload(early);

    // Finished but not yet handed back.
    const int finished = kivAsyncDownload(server.Url("/binary").c_str(),
                                          dir.Path("finished").c_str(), &Record, 2);
    SleepUntil([&] { return kivtest::ReadFile(dir.Path("finished")).size() == 256; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kivAsyncCancelDownload(finished);

    // An id nobody holds.
    kivAsyncCancelDownload(999);

    const int kept = kivAsyncDownload(server.Url("/text").c_str(), dir.Path("kept").c_str(),
                                      &Record, 3);
    EXPECT_EQ(kept, 3);
    ASSERT_TRUE(WaitFor([] { return !completions.empty(); }));
    kivtest::PumpFor(200);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].userData, 3);
    EXPECT_EQ(kivtest::ReadFile(dir.Path("finished")).size(), 256u);
}

TEST_F(AsyncApi, CancelWhileRunningStopsAtOnceAndKeepsThePartialFile) {
    const std::string path = dir.Path("partial");
    const int id = kivAsyncDownload(server.Url("/slow?ms=100&chunks=100").c_str(), path.c_str(),
                                    &Record, 1);
    SleepUntil([&] { return server.Hits("/slow") == 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a few chunks arrive
    const kivtest::Stopwatch stopwatch;
    kivAsyncCancelDownload(id);
    // The body would take ten seconds; a cancel that waited for it fails here.
    EXPECT_LT(stopwatch.Milliseconds(), 3000);
    const std::size_t written = kivtest::ReadFile(path).size();
    EXPECT_GE(written, 2u);
    EXPECT_LT(written, 100u);
    kivtest::PumpFor(200);
    EXPECT_TRUE(completions.empty());
}

TEST_F(AsyncApi, CleanupWithQueuedRequestsPerformsThemWithoutCallbacks) {
    kivAsyncGet(server.Url("/text").c_str(), &Record, 0);
    ASSERT_TRUE(WaitFor([] { return completions.size() == 1; }));
    for (int i = 0; i < 3; ++i) kivAsyncGet(server.Url("/slow?ms=30&chunks=1").c_str(), &Record, i);
    kivHttpCleanup();
    EXPECT_EQ(server.Hits("/slow"), 3);
    kivtest::PumpFor(100);
    EXPECT_EQ(completions.size(), 1u);
}

TEST_F(AsyncApi, CleanupWhileDownloadsRunReturnsPromptlyWithoutCallbacks) {
    for (int i = 0; i < 4; ++i) {
        const std::string path = dir.Path("run" + std::to_string(i));
        kivAsyncDownload(server.Url("/slow?ms=100&chunks=100").c_str(), path.c_str(), &Record, i);
    }
    SleepUntil([&] { return server.Hits("/slow") == 4; });
    const kivtest::Stopwatch stopwatch;
    kivHttpCleanup();
    EXPECT_LT(stopwatch.Milliseconds(), 3000);
    kivtest::PumpFor(200);
    EXPECT_TRUE(completions.empty());
}

void KIV_CALL CleanupFromCallback(kivHttpResponse* response, int userData) {
    Record(response, userData);
    kivHttpCleanup();
}

TEST_F(AsyncApi, CleanupFromInsideADataCallbackIsSurvived) {
    kivAsyncGet(server.Url("/text").c_str(), &CleanupFromCallback, 1);
    kivAsyncGet(server.Url("/slow?ms=100&chunks=1").c_str(), &Record, 2);
    ASSERT_TRUE(WaitFor([] { return !completions.empty(); }));
    kivtest::PumpFor(300);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(kivAsyncGet(server.Url("/text").c_str(), &Record, 3), 0);  // cleaned up
    kivHttpStartup();  // and usable again
    EXPECT_EQ(kivAsyncGet(server.Url("/text").c_str(), &Record, 4), 1);
    ASSERT_TRUE(WaitFor([] { return completions.size() == 2; }));
}

TEST_F(AsyncApi, CleanupFromInsideADownloadCallbackIsSurvived) {
    kivAsyncDownload(server.Url("/text").c_str(), dir.Path("a").c_str(), &CleanupFromCallback, 1);
    kivAsyncDownload(server.Url("/text").c_str(), dir.Path("b").c_str(), &Record, 2);
    kivAsyncDownload(server.Url("/slow?ms=100&chunks=50").c_str(), dir.Path("c").c_str(), &Record,
                     3);
    SleepUntil([&] { return server.Hits("/text") == 2; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(WaitFor([] { return !completions.empty(); }));
    kivtest::PumpFor(300);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].userData, 1);
}

int followingDownload = 0;

void KIV_CALL NestedLoopAndCancel(kivHttpResponse* response, int userData) {
    Record(response, userData);
    if (userData == 1) {
        kivAsyncCancelDownload(followingDownload);
        // A modal loop inside the callback hands off whatever finishes meanwhile.
        kivtest::PumpUntil([] { return completions.size() >= 2; }, 5000);
    }
}

TEST_F(AsyncApi, CallbackMayCancelTheNextDownloadAndRunANestedLoop) {
    kivAsyncDownload(server.Url("/text").c_str(), dir.Path("1").c_str(), &NestedLoopAndCancel, 1);
    followingDownload =
        kivAsyncDownload(server.Url("/text").c_str(), dir.Path("2").c_str(), &Record, 2);
    SleepUntil([&] { return server.Hits("/text") == 2; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Started after the first two finished; handed off by the nested loop.
    kivAsyncDownload(server.Url("/binary").c_str(), dir.Path("3").c_str(), &Record, 3);

    ASSERT_TRUE(WaitFor([] { return completions.size() >= 2; }));
    kivtest::PumpFor(200);
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[0].userData, 1);
    EXPECT_EQ(completions[1].userData, 3);
}

TEST_F(AsyncApi, CancelOfRunningGetStopsItAtOnce) {
    const int id = kivAsyncGet(server.Url("/slow?ms=100&chunks=100").c_str(), &Record, 1);
    SleepUntil([&] { return server.Hits("/slow") == 1; });
    kivAsyncCancel(id);
    kivAsyncGet(server.Url("/text").c_str(), &Record, 2);
    ASSERT_TRUE(WaitFor([] { return !completions.empty(); }, 3000));
    EXPECT_EQ(completions[0].userData, 2);
}

}  // namespace
