#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "Http/Base/AsyncServiceBase.h"
#include "kivtest/kivtest.h"

namespace {

using Http::Base::AsyncServiceBase;
using Http::Base::kCompletionMessage;

class TestService : public AsyncServiceBase {
public:
    std::function<void(TestService&)> onDispatch;
    int dispatches = 0;
    std::uint32_t lastThread = 0;

    void Dispatch() override {
        ++dispatches;
        lastThread = kivtest::CurrentThreadId();
        if (onDispatch) onDispatch(*this);
    }
};

void PostRaw(bool toWindow, std::uintptr_t wParam, std::intptr_t lParam) {
    if (!toWindow) {
        ASSERT_TRUE(
            kivtest::PostToThread(kivtest::CurrentThreadId(), kCompletionMessage, wParam, lParam));
    } else {
        ASSERT_TRUE(kivtest::PostToOwnWindow(kCompletionMessage, wParam, lParam));
    }
}

// Services are built on the test's thread, which thus becomes the start-up
// thread; each test leaves no service behind, so the hook comes and goes.
class CompletionDelivery : public testing::Test {
protected:
    void TearDown() override { kivtest::PumpFor(5); }
};

TEST_F(CompletionDelivery, WorkerPostIsDispatchedOnTheStartupThreadOnly) {
    auto* service = new TestService;
    EXPECT_EQ(Http::Base::StartupThreadId(), kivtest::CurrentThreadId());
    std::thread worker([service] { EXPECT_TRUE(service->PostCompletion()); });
    worker.join();
    EXPECT_EQ(service->dispatches, 0);  // nothing before the loop retrieves it
    ASSERT_TRUE(kivtest::PumpUntil([&] { return service->dispatches == 1; }, 5000));
    EXPECT_EQ(service->lastThread, kivtest::CurrentThreadId());
    AsyncServiceBase::Retire(service);
}

TEST_F(CompletionDelivery, PeekWithoutRemovalDispatchesAndRemovalDispatchesAgain) {
    auto* service = new TestService;
    ASSERT_TRUE(service->PostCompletion());
    kivtest::Message message;
    ASSERT_TRUE(kivtest::PeekOneMessage(false, &message));
    EXPECT_EQ(service->dispatches, 1);
    ASSERT_TRUE(kivtest::PeekOneMessage(true, &message));
    EXPECT_EQ(service->dispatches, 2);
    // The host's own loop still sees the message, unaltered.
    EXPECT_EQ(message.hwnd, nullptr);
    EXPECT_EQ(message.message, kCompletionMessage);
    EXPECT_EQ(message.wParam, reinterpret_cast<std::uintptr_t>(service));
    AsyncServiceBase::Retire(service);
}

TEST_F(CompletionDelivery, MessagesThatDoNotQualifyDispatchNothing) {
    auto* service = new TestService;
    const auto address = reinterpret_cast<std::uintptr_t>(service);
    PostRaw(false, address, 1234);                // wrong second tag
    PostRaw(true, address, kCompletionMessage);   // for a window
    PostRaw(false, 0, kCompletionMessage);        // names no service
    int notAService = 0;                          // never dereferenced
    PostRaw(false, reinterpret_cast<std::uintptr_t>(&notAService), kCompletionMessage);
    kivtest::PumpFor(50);
    EXPECT_EQ(service->dispatches, 0);

    // A negative code passes the message on without reading it.
    platform::Message genuine{nullptr, kCompletionMessage, address, kCompletionMessage};
    const auto message = reinterpret_cast<std::intptr_t>(&genuine);
    Http::Base::CompletionHookProc(-1, kivtest::kRemoveFlag, message);
    EXPECT_EQ(service->dispatches, 0);
    Http::Base::CompletionHookProc(0, kivtest::kRemoveFlag, message);
    EXPECT_EQ(service->dispatches, 1);
    AsyncServiceBase::Retire(service);
}

TEST_F(CompletionDelivery, MessageNamingADestroyedServiceIsPassedOn) {
    auto* keeper = new TestService;  // keeps the hook installed
    auto* doomed = new TestService;
    ASSERT_TRUE(doomed->PostCompletion());
    ASSERT_TRUE(keeper->PostCompletion());
    AsyncServiceBase::Retire(doomed);  // its message is still queued
    ASSERT_TRUE(kivtest::PumpUntil([&] { return keeper->dispatches == 1; }, 5000));
    AsyncServiceBase::Retire(keeper);
}

TEST_F(CompletionDelivery, NestedLoopInsideADispatchStillDispatches) {
    auto* service = new TestService;
    bool nestedSawSecond = false;
    service->onDispatch = [&](TestService& self) {
        if (self.dispatches != 1) return;
        self.PostCompletion();
        nestedSawSecond = kivtest::PumpUntil([&] { return self.dispatches == 2; }, 5000);
    };
    ASSERT_TRUE(service->PostCompletion());
    ASSERT_TRUE(kivtest::PumpUntil([&] { return service->dispatches >= 2; }, 5000));
    EXPECT_TRUE(nestedSawSecond);
    AsyncServiceBase::Retire(service);
}

TEST_F(CompletionDelivery, SecondServiceKeepsTheStartupThread) {
    auto* first = new TestService;
    TestService* second = nullptr;
    std::thread([&] { second = new TestService; }).join();
    EXPECT_EQ(Http::Base::StartupThreadId(), kivtest::CurrentThreadId());
    ASSERT_TRUE(second->PostCompletion());
    ASSERT_TRUE(kivtest::PumpUntil([&] { return second->dispatches == 1; }, 5000));
    EXPECT_EQ(second->lastThread, kivtest::CurrentThreadId());
    AsyncServiceBase::Retire(second);
    AsyncServiceBase::Retire(first);
}

TEST_F(CompletionDelivery, LastServiceRemovesTheHookAndTheNextInstallsItAfresh) {
    auto* service = new TestService;
    AsyncServiceBase::Retire(service);
    EXPECT_EQ(Http::Base::StartupThreadId(), 0u);

    std::uint32_t otherThread = 0, startup = 0;
    int dispatches = 0;
    std::thread([&] {
        otherThread = kivtest::CurrentThreadId();
        auto* elsewhere = new TestService;
        startup = Http::Base::StartupThreadId();
        elsewhere->PostCompletion();
        kivtest::PumpUntil([&] { return elsewhere->dispatches == 1; }, 5000);
        dispatches = elsewhere->dispatches;
        AsyncServiceBase::Retire(elsewhere);
    }).join();
    EXPECT_EQ(startup, otherThread);
    EXPECT_EQ(dispatches, 1);
}

TEST_F(CompletionDelivery, RetireInsideItsOwnDispatchIsDeferredUntilItReturns) {
    auto* service = new TestService;
    bool stillUsable = false;
    service->onDispatch = [&](TestService& self) {
        AsyncServiceBase::Retire(&self);
        stillUsable = self.dispatches == 1;  // not destroyed yet
        self.PostCompletion();               // never reaches it
    };
    ASSERT_TRUE(service->PostCompletion());
    kivtest::PumpFor(100);
    EXPECT_TRUE(stillUsable);
    EXPECT_EQ(Http::Base::StartupThreadId(), 0u);  // destroyed on the way out, hook gone
}

TEST_F(CompletionDelivery, RetireFromAnotherThreadWaitsForARunningDispatch) {
    auto* service = new TestService;
    std::atomic<bool> inDispatch{false}, retired{false};
    service->onDispatch = [&](TestService&) {
        inDispatch = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(retired.load());
    };
    std::thread cleaner([&] {
        while (!inDispatch) std::this_thread::yield();
        AsyncServiceBase::Retire(service);
        retired = true;
    });
    ASSERT_TRUE(service->PostCompletion());
    kivtest::PumpUntil([&] { return retired.load(); }, 5000);
    cleaner.join();
    EXPECT_TRUE(retired.load());
}

}  // namespace
