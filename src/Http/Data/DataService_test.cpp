#include "Http/Data/DataService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/CurlGlobal.h"
#include "kivtest/kivtest.h"

namespace {

using Http::Base::HttpResponse;
using Http::Data::DataService;

struct Completion {
    int userData;
    int code;
    std::string body;
    std::uint32_t thread;
};

std::vector<Completion> completions;

void KIV_CALL Record(kivHttpResponse* handle, int userData) {
    auto* response = reinterpret_cast<HttpResponse*>(handle);
    completions.push_back({userData, response ? response->Code() : -1,
                           response && response->Body()
                               ? std::string(response->Body(), response->BodyLength())
                               : std::string(),
                           kivtest::CurrentThreadId()});
    delete response;
}

// A service on the test's thread, which is thus the start-up thread; the
// test pumps that thread's queue to receive completions.
class DataServiceTest : public testing::Test {
protected:
    void SetUp() override {
        completions.clear();
        CurlGlobalStartup();
        service = new DataService;
        ASSERT_TRUE(service->Launch());
    }

    void TearDown() override {
        service->Shutdown();
        Http::Base::AsyncServiceBase::Retire(service);
        CurlGlobalCleanup();
        kivtest::PumpFor(10);  // drop stale completion messages
    }

    bool WaitForCompletions(std::size_t count, int timeoutMs = 10000) {
        return kivtest::PumpUntil([&] { return completions.size() >= count; }, timeoutMs);
    }

    kivtest::TestServer server;
    DataService* service = nullptr;
};

TEST_F(DataServiceTest, IdsCountFromOneWrapThroughNegativesAndSkipZero) {
    EXPECT_EQ(service->Get(server.Url("/text").c_str(), nullptr, 0), 1);
    EXPECT_EQ(service->Get(server.Url("/text").c_str(), nullptr, 0), 2);
    EXPECT_EQ(service->Get(server.Url("/text").c_str(), nullptr, 0), 3);
    service->SetIdCounterForTesting(INT_MAX);
    EXPECT_EQ(service->Get(server.Url("/text").c_str(), nullptr, 0), INT_MIN);
    service->SetIdCounterForTesting(-1);
    EXPECT_EQ(service->Get(server.Url("/text").c_str(), nullptr, 0), 1);
}

TEST_F(DataServiceTest, CompletionsArriveOnTheStartupThreadInQueueOrder) {
    // Seven requests queued behind a slow one: the semaphore tops out at
    // five, yet all are performed and handed back in order.
    service->Get(server.Url("/slow?ms=300&chunks=1").c_str(), &Record, 0);
    kivtest::PumpUntil([&] { return server.Hits("/slow") == 1; }, 5000);
    for (int i = 1; i <= 7; ++i) service->Get(server.Url("/text").c_str(), &Record, i);

    ASSERT_TRUE(WaitForCompletions(8));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(completions[i].userData, i);
        EXPECT_EQ(completions[i].code, 200);
        EXPECT_EQ(completions[i].thread, kivtest::CurrentThreadId());
    }
    EXPECT_EQ(completions[1].body, "hello, kivHttp");
}

TEST_F(DataServiceTest, CancelWhilePendingSendsNothingAndCallsNobody) {
    service->Get(server.Url("/slow?ms=200&chunks=1").c_str(), &Record, 1);
    const RequestId doomed = service->Get(server.Url("/text").c_str(), &Record, 2);
    service->Cancel(doomed);
    service->Get(server.Url("/binary").c_str(), &Record, 3);

    ASSERT_TRUE(WaitForCompletions(2));
    kivtest::PumpFor(100);
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[0].userData, 1);
    EXPECT_EQ(completions[1].userData, 3);
    EXPECT_EQ(server.Hits("/text"), 0);
}

TEST_F(DataServiceTest, CancelWhileRunningStopsTheTransferAtOnce) {
    // Fifty chunks 200 ms apart: ten seconds if nobody stops it.
    const RequestId running = service->Get(server.Url("/slow?ms=200&chunks=50").c_str(), &Record, 1);
    ASSERT_TRUE(kivtest::PumpUntil([&] { return server.Hits("/slow") == 1; }, 5000));
    kivtest::PumpFor(100);
    service->Cancel(running);
    service->Get(server.Url("/text").c_str(), &Record, 2);

    // The request behind it completes long before the slow body would end.
    ASSERT_TRUE(WaitForCompletions(1, 4000));
    EXPECT_EQ(completions[0].userData, 2);
    kivtest::PumpFor(100);
    EXPECT_EQ(completions.size(), 1u);
}

TEST_F(DataServiceTest, CancelOfCompletedRequestBeforeHandBackDropsIt) {
    const RequestId done = service->Get(server.Url("/text").c_str(), &Record, 1);
    // Wait for the transfer without retrieving messages, so it stays queued.
    for (int i = 0; i < 500 && server.Hits("/text") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    service->Cancel(done);
    service->Get(server.Url("/binary").c_str(), &Record, 2);

    ASSERT_TRUE(WaitForCompletions(1));
    kivtest::PumpFor(100);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].userData, 2);
}

TEST_F(DataServiceTest, CancelOfUnknownAndZeroIdsIsHarmless) {
    service->Cancel(12345);
    service->Cancel(0);
    service->Get(server.Url("/text").c_str(), &Record, 1);
    ASSERT_TRUE(WaitForCompletions(1));
    EXPECT_EQ(completions[0].code, 200);
}

TEST_F(DataServiceTest, CancelTwiceStopsOnceAndLeavesLaterRequestsAlone) {
    const RequestId running = service->Get(server.Url("/slow?ms=200&chunks=50").c_str(), &Record, 1);
    ASSERT_TRUE(kivtest::PumpUntil([&] { return server.Hits("/slow") == 1; }, 5000));
    service->Cancel(running);
    service->Cancel(running);
    service->Get(server.Url("/text").c_str(), &Record, 2);
    service->Get(server.Url("/binary").c_str(), &Record, 3);
    ASSERT_TRUE(WaitForCompletions(2, 4000));
    kivtest::PumpFor(100);
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[0].userData, 2);
    EXPECT_EQ(completions[1].userData, 3);
}

TEST_F(DataServiceTest, PostSendsTheBytesAsTheyWereAtTheCall) {
    char buffer[] = "original\0bytes";
    service->Post(server.Url("/echo").c_str(), buffer, sizeof buffer - 1, &Record, 1);
    std::memset(buffer, 'X', sizeof buffer);
    service->Post(server.Url("/echo").c_str(), buffer, 0, &Record, 2);
    service->Post(server.Url("/echo").c_str(), nullptr, 0, &Record, 3);

    ASSERT_TRUE(WaitForCompletions(3));
    EXPECT_EQ(completions[0].body, std::string("POST\n14\noriginal\0bytes", 22));
    EXPECT_EQ(completions[1].body, "POST\n0\n");
    EXPECT_EQ(completions[2].body, "POST\n0\n");
}

TEST_F(DataServiceTest, PostRejectsImpossibleBuffers) {
    EXPECT_EQ(service->Post(server.Url("/echo").c_str(), nullptr, 5, &Record, 1), 0);
    EXPECT_EQ(service->Post(server.Url("/echo").c_str(), "abc", -1, &Record, 1), 0);
    kivtest::PumpFor(200);
    EXPECT_TRUE(completions.empty());
    EXPECT_EQ(server.Hits("/echo"), 0);
}

TEST_F(DataServiceTest, NullCallbackStillPerformsTheTransfer) {
    service->Get(server.Url("/text").c_str(), nullptr, 0);
    service->Get(server.Url("/binary").c_str(), &Record, 1);
    ASSERT_TRUE(WaitForCompletions(1));
    EXPECT_EQ(server.Hits("/text"), 1);
    EXPECT_EQ(completions[0].userData, 1);
}

DataService* reentrantService = nullptr;
std::string reentrantUrl;

void KIV_CALL QueueMoreFromCallback(kivHttpResponse* handle, int userData) {
    Record(handle, userData);
    if (userData == 1) {
        const RequestId cancelled = reentrantService->Get(reentrantUrl.c_str(), &Record, 99);
        reentrantService->Cancel(cancelled);
        reentrantService->Post(reentrantUrl.c_str(), "x", 1, &Record, 2);
    }
}

TEST_F(DataServiceTest, CallbackMayQueueAndCancel) {
    reentrantService = service;
    reentrantUrl = server.Url("/echo");
    service->Get(server.Url("/text").c_str(), &QueueMoreFromCallback, 1);
    ASSERT_TRUE(WaitForCompletions(2));
    kivtest::PumpFor(100);
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[1].userData, 2);
    EXPECT_EQ(completions[1].body, "POST\n1\nx");
}

TEST_F(DataServiceTest, ShutdownPerformsPendingRequestsWithoutCallbacks) {
    // Once the worker runs, it finishes everything queued before it stops.
    service->Get(server.Url("/text").c_str(), &Record, 0);
    ASSERT_TRUE(WaitForCompletions(1));
    completions.clear();
    for (int i = 0; i < 3; ++i) service->Get(server.Url("/slow?ms=50&chunks=1").c_str(), &Record, i);
    service->Shutdown();
    EXPECT_EQ(server.Hits("/slow"), 3);
    kivtest::PumpFor(100);
    EXPECT_TRUE(completions.empty());
}

TEST_F(DataServiceTest, ShutdownRightAfterLaunchStillPerformsWhatWasQueued) {
    // The worker may not have run a single instruction yet.
    service->Get(server.Url("/text").c_str(), &Record, 1);
    service->Shutdown();
    EXPECT_EQ(server.Hits("/text"), 1);
    kivtest::PumpFor(50);
    EXPECT_TRUE(completions.empty());
}

TEST_F(DataServiceTest, FailedTransfersCallBackWithStatusZero) {
    service->Get(kivtest::RefusedUrl().c_str(), &Record, 1);
    service->Get("http://nonexistent.invalid/", &Record, 2);
    service->Get(nullptr, &Record, 3);
    ASSERT_TRUE(WaitForCompletions(3));
    for (const Completion& c : completions) {
        EXPECT_EQ(c.code, 0) << c.userData;
        EXPECT_EQ(c.body, "") << c.userData;
    }
}

}  // namespace
