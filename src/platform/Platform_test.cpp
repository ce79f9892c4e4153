#include "platform/Platform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kivtest/MessagePump.h"

namespace {

using namespace std::chrono_literals;
using platform::Handle;
using platform::ThreadId;

constexpr std::uint32_t kLongWait = 10000;  // ms; only reached if something is broken

// Runs `Body::Run(argument)` as a platform thread routine.
template <class Body>
unsigned KIV_PLATFORM_STDCALL Routine(void* argument) {
    Body::Run(argument);
    return 0;
}

struct RecordId {
    static void Run(void* argument) { static_cast<std::atomic<ThreadId>*>(argument)->store(platform::CurrentThreadId()); }
};

// Waits on the semaphore handed to it, so the test decides when it ends.
struct WaitOnGate {
    static void Run(void* argument) { platform::WaitForObject(argument, platform::kInfinite); }
};

struct Counting {
    std::atomic<std::uint64_t> count{0};
    std::atomic<bool> stop{false};
    static void Run(void* argument) {
        auto* self = static_cast<Counting*>(argument);
        while (!self->stop.load()) {
            self->count.fetch_add(1);
            // A system call: ThreadSanitizer delivers a signal to a thread only
            // there, so a pure spin could never be suspended under it.
            std::this_thread::yield();
        }
    }
};

// A thread blocked on a gate; ends when the test releases the gate.
class GatedThread {
public:
    explicit GatedThread(bool suspended = false) {
        gate_ = platform::CreateSemaphore(0, 1, nullptr);
        thread_ = platform::BeginThread(Routine<WaitOnGate>, gate_, suspended, &id_);
    }
    ~GatedThread() {
        Finish();
        platform::CloseHandle(thread_);
        platform::CloseHandle(gate_);
    }
    void Finish() {
        if (finished_) return;
        finished_ = true;
        platform::ReleaseSemaphore(gate_);
        while (platform::ResumeThread(thread_) > 1) {
        }
        platform::WaitForObject(thread_, kLongWait);
    }
    Handle handle() const { return thread_; }
    ThreadId id() const { return id_; }

private:
    Handle gate_ = nullptr;
    Handle thread_ = nullptr;
    ThreadId id_ = 0;
    bool finished_ = false;
};

// ---- threads -------------------------------------------------------------------

TEST(PlatformThread, CreatedSuspendedRunsOnlyAfterResume) {
    std::atomic<ThreadId> ranOn{0};
    ThreadId id = 0;
    Handle thread = platform::BeginThread(Routine<RecordId>, &ranOn, true, &id);
    ASSERT_TRUE(platform::IsValid(thread));
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, platform::CurrentThreadId());
    EXPECT_EQ(platform::WaitForObject(thread, 100), platform::kWaitTimeout);
    EXPECT_EQ(ranOn.load(), 0u);

    EXPECT_EQ(platform::ResumeThread(thread), 1u);
    EXPECT_EQ(platform::WaitForObject(thread, kLongWait), platform::kWaitObject0);
    EXPECT_EQ(ranOn.load(), id);  // the id BeginThread reported is the one the thread sees
    EXPECT_TRUE(platform::CloseHandle(thread));
}

TEST(PlatformThread, SuspendAndResumeReturnPreviousCount) {
    struct Step {
        std::uint32_t (*call)(Handle);
        std::uint32_t previous;
    };
    const Step fromRunning[] = {{platform::SuspendThread, 0}, {platform::SuspendThread, 1},
                                {platform::ResumeThread, 2},  {platform::ResumeThread, 1},
                                {platform::ResumeThread, 0},  {platform::ResumeThread, 0}};
    const Step fromSuspended[] = {{platform::SuspendThread, 1}, {platform::ResumeThread, 2},
                                  {platform::ResumeThread, 1}, {platform::ResumeThread, 0}};
    for (bool suspended : {false, true}) {
        SCOPED_TRACE(suspended ? "created suspended" : "created running");
        GatedThread thread(suspended);
        if (suspended) {
            for (const Step& step : fromSuspended) EXPECT_EQ(step.call(thread.handle()), step.previous);
        } else {
            for (const Step& step : fromRunning) EXPECT_EQ(step.call(thread.handle()), step.previous);
        }
    }
}

TEST(PlatformThread, SuspendingRunningThreadStopsItUntilResumed) {
    Counting counting;
    Handle thread = platform::BeginThread(Routine<Counting>, &counting, false, nullptr);
    ASSERT_TRUE(platform::IsValid(thread));
    while (counting.count.load() < 1000) std::this_thread::yield();

    ASSERT_EQ(platform::SuspendThread(thread), 0u);
    const std::uint64_t held = counting.count.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(counting.count.load(), held);

    ASSERT_EQ(platform::ResumeThread(thread), 1u);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (counting.count.load() == held && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_GT(counting.count.load(), held);

    counting.stop = true;
    EXPECT_EQ(platform::WaitForObject(thread, kLongWait), platform::kWaitObject0);
    EXPECT_TRUE(platform::CloseHandle(thread));
}

struct SuspendsItself {
    Handle self = nullptr;
    std::atomic<int> stage{0};
    std::atomic<std::uint32_t> previous{0};
    static void Run(void* argument) {
        auto* state = static_cast<SuspendsItself*>(argument);
        state->stage = 1;
        state->previous = platform::SuspendThread(state->self);
        state->stage = 2;
    }
};

TEST(PlatformThread, ThreadSuspendingItselfWaitsForResume) {
    SuspendsItself state;
    state.self = platform::BeginThread(Routine<SuspendsItself>, &state, true, nullptr);
    ASSERT_EQ(platform::ResumeThread(state.self), 1u);
    while (state.stage.load() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(state.stage.load(), 1);

    EXPECT_EQ(platform::ResumeThread(state.self), 1u);
    EXPECT_EQ(platform::WaitForObject(state.self, kLongWait), platform::kWaitObject0);
    EXPECT_EQ(state.stage.load(), 2);
    EXPECT_EQ(state.previous.load(), 0u);
    EXPECT_TRUE(platform::CloseHandle(state.self));
}

TEST(PlatformThread, SuspendFailsOnEndedThread) {
    GatedThread thread;
    thread.Finish();
    EXPECT_EQ(platform::SuspendThread(thread.handle()), platform::kSuspendFailed);
    EXPECT_NE(platform::LastError(), 0);
    EXPECT_EQ(platform::ResumeThread(thread.handle()), 0u);
}

TEST(PlatformThread, WaitTimesOutThenSucceedsRepeatedlyFromManyThreads) {
    GatedThread thread;
    EXPECT_EQ(platform::WaitForObject(thread.handle(), 0), platform::kWaitTimeout);
    EXPECT_EQ(platform::WaitForObject(thread.handle(), 50), platform::kWaitTimeout);

    std::atomic<int> signalled{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (platform::WaitForObject(thread.handle(), platform::kInfinite) == platform::kWaitObject0) ++signalled;
        });
    }
    thread.Finish();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(signalled.load(), 4);
    for (std::uint32_t timeout : {0u, 10u, platform::kInfinite}) {
        EXPECT_EQ(platform::WaitForObject(thread.handle(), timeout), platform::kWaitObject0);
    }
}

struct GateThenRecordId {
    Handle gate;
    std::atomic<ThreadId> ranOn{0};
    static void Run(void* argument) {
        auto* self = static_cast<GateThenRecordId*>(argument);
        platform::WaitForObject(self->gate, platform::kInfinite);
        self->ranOn = platform::CurrentThreadId();
    }
};

TEST(PlatformThread, ClosingTheHandleLeavesTheThreadRunning) {
    GateThenRecordId state;
    state.gate = platform::CreateSemaphore(0, 1, nullptr);
    ThreadId id = 0;
    Handle thread = platform::BeginThread(Routine<GateThenRecordId>, &state, false, &id);
    ASSERT_TRUE(platform::IsValid(thread));
    EXPECT_TRUE(platform::CloseHandle(thread));
    EXPECT_EQ(platform::WaitForObject(thread, 0), platform::kWaitFailed);

    EXPECT_TRUE(platform::ReleaseSemaphore(state.gate));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (state.ranOn.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(state.ranOn.load(), id);
    platform::CloseHandle(state.gate);
}

TEST(PlatformHandle, InvalidHandlesFailEveryCall) {
    int notAnObject = 0;
    for (Handle handle : {Handle{nullptr}, platform::InvalidHandle(), Handle{&notAnObject}}) {
        EXPECT_EQ(platform::SuspendThread(handle), platform::kSuspendFailed);
        EXPECT_EQ(platform::ResumeThread(handle), platform::kSuspendFailed);
        EXPECT_EQ(platform::WaitForObject(handle, 0), platform::kWaitFailed);
        EXPECT_FALSE(platform::ReleaseSemaphore(handle));
        EXPECT_FALSE(platform::CloseHandle(handle));
        EXPECT_NE(platform::LastError(), 0);
    }
    EXPECT_EQ(platform::BeginThread(nullptr, nullptr, false, nullptr), nullptr);
    Handle semaphore = platform::CreateSemaphore(0, 1, nullptr);
    EXPECT_EQ(platform::SuspendThread(semaphore), platform::kSuspendFailed);  // not a thread
    EXPECT_TRUE(platform::CloseHandle(semaphore));
    EXPECT_FALSE(platform::CloseHandle(semaphore));
}

// ---- semaphores ----------------------------------------------------------------

TEST(PlatformSemaphore, ReleasesStopAtMaximum) {
    Handle semaphore = platform::CreateSemaphore(0, 5, "kivHttp-test");
    ASSERT_TRUE(platform::IsValid(semaphore));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(platform::ReleaseSemaphore(semaphore)) << i;
    EXPECT_FALSE(platform::ReleaseSemaphore(semaphore));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(platform::WaitForObject(semaphore, 0), platform::kWaitObject0) << i;
    EXPECT_EQ(platform::WaitForObject(semaphore, 50), platform::kWaitTimeout);
    EXPECT_TRUE(platform::CloseHandle(semaphore));
}

TEST(PlatformSemaphore, InitialCountIsAvailableAtOnce) {
    Handle semaphore = platform::CreateSemaphore(2, 3, nullptr);
    EXPECT_EQ(platform::WaitForObject(semaphore, 0), platform::kWaitObject0);
    EXPECT_EQ(platform::WaitForObject(semaphore, 0), platform::kWaitObject0);
    EXPECT_EQ(platform::WaitForObject(semaphore, 0), platform::kWaitTimeout);
    EXPECT_TRUE(platform::CloseHandle(semaphore));
}

TEST(PlatformSemaphore, RejectsImpossibleCounts) {
    const std::pair<std::int32_t, std::int32_t> cases[] = {{-1, 5}, {6, 5}, {0, 0}, {0, -1}};
    for (const auto& [initial, maximum] : cases) {
        EXPECT_EQ(platform::CreateSemaphore(initial, maximum, nullptr), nullptr) << initial << "/" << maximum;
    }
}

TEST(PlatformSemaphore, ReleaseWakesWaiterOnAnotherThread) {
    Handle semaphore = platform::CreateSemaphore(0, 1, nullptr);
    std::thread waiter([&] { EXPECT_EQ(platform::WaitForObject(semaphore, kLongWait), platform::kWaitObject0); });
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(platform::ReleaseSemaphore(semaphore));
    waiter.join();
    EXPECT_TRUE(platform::CloseHandle(semaphore));
}

// ---- locks ---------------------------------------------------------------------

TEST(PlatformLock, OtherThreadEntersOnlyAfterEveryLeave) {
    platform::LockStorage lock;
    platform::InitializeLock(&lock);
    platform::EnterLock(&lock);
    platform::EnterLock(&lock);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        platform::EnterLock(&lock);
        entered = true;
        platform::LeaveLock(&lock);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(entered.load());
    platform::LeaveLock(&lock);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(entered.load());
    platform::LeaveLock(&lock);
    other.join();
    EXPECT_TRUE(entered.load());
    platform::DeleteLock(&lock);
}

// ---- messages ------------------------------------------------------------------

struct Pump {
    Handle ready;
    Handle got;     // released once the message is in
    Handle finish;  // released by the test when the thread may end
    std::atomic<std::uintptr_t> received{0};
    std::atomic<int> hookCalls{0};
    static void Run(void* argument) {
        auto* self = static_cast<Pump*>(argument);
        kivtest::EnsureMessageQueue();
        platform::ReleaseSemaphore(self->ready);
        kivtest::Message msg;
        if (kivtest::WaitOneMessage(&msg)) self->received = msg.wParam;
        platform::ReleaseSemaphore(self->got);
        // Windows removes the hooks on a thread when it ends; stay until the
        // test has removed this one itself.
        platform::WaitForObject(self->finish, platform::kInfinite);
    }
};
Pump* pump = nullptr;

std::intptr_t KIV_PLATFORM_STDCALL CountingHook(int code, std::uintptr_t wParam, std::intptr_t lParam) {
    ++pump->hookCalls;
    return platform::CallNextHook(nullptr, code, wParam, lParam);
}

TEST(PlatformMessages, PostReachesThreadByTheIdBeginThreadReported) {
    Pump state;
    pump = &state;
    state.ready = platform::CreateSemaphore(0, 1, nullptr);
    state.got = platform::CreateSemaphore(0, 1, nullptr);
    state.finish = platform::CreateSemaphore(0, 1, nullptr);
    ThreadId id = 0;
    Handle thread = platform::BeginThread(Routine<Pump>, &state, true, &id);
    EXPECT_FALSE(platform::PostThreadMessage(id, 0x8000, 1, 0));  // no queue yet
    EXPECT_NE(platform::LastError(), 0);
    platform::HookHandle hook = platform::SetGetMessageHook(CountingHook, id);
    ASSERT_NE(hook, nullptr);

    platform::ResumeThread(thread);
    ASSERT_EQ(platform::WaitForObject(state.ready, kLongWait), platform::kWaitObject0);
    EXPECT_TRUE(platform::PostThreadMessage(id, 0x8000, 99, 0));
    ASSERT_EQ(platform::WaitForObject(state.got, kLongWait), platform::kWaitObject0);
    EXPECT_EQ(state.received.load(), 99u);
    EXPECT_EQ(state.hookCalls.load(), 1);

    EXPECT_TRUE(platform::Unhook(hook));
    EXPECT_FALSE(platform::Unhook(hook));
    platform::ReleaseSemaphore(state.finish);
    EXPECT_EQ(platform::WaitForObject(thread, kLongWait), platform::kWaitObject0);
    EXPECT_FALSE(platform::PostThreadMessage(id, 0x8000, 1, 0));  // its queue ended with it

    platform::CloseHandle(thread);
    for (Handle semaphore : {state.ready, state.got, state.finish}) platform::CloseHandle(semaphore);
}

}  // namespace
