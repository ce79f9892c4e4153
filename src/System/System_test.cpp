#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "System/CriticalSection.h"
#include "System/Semaphore.h"
#include "System/Thread.h"

namespace {

// Counts its runs; with `untilStopped` it spins until asked to stop.
class CountingThread : public System::Thread::Thread {
public:
    explicit CountingThread(bool untilStopped = false) : untilStopped(untilStopped) {}
    ~CountingThread() override { Stop(); }

    std::atomic<int> runs{0};
    std::atomic<long> ticks{0};

protected:
    std::uint32_t Run() override {
        ++runs;
        while (untilStopped && !StopRequested()) {
            ++ticks;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return 7;
    }

private:
    const bool untilStopped;
};

TEST(Thread, NeverStartedStopsAndWaitsAtOnce) {
    CountingThread thread;
    EXPECT_FALSE(thread.Stop());
    EXPECT_EQ(thread.Wait(platform::kInfinite), 0u);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.runs.load(), 0);
}

TEST(Thread, StartedSuspendedRunsWhenWaitedFor) {
    CountingThread thread;
    ASSERT_TRUE(thread.Start(true));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(thread.runs.load(), 0);
    EXPECT_EQ(thread.Wait(platform::kInfinite), platform::kWaitObject0);
    EXPECT_EQ(thread.runs.load(), 1);
}

TEST(Thread, StopRequestedBeforeResumeSkipsRun) {
    CountingThread thread;
    ASSERT_TRUE(thread.Start(true));
    thread.RequestStop();
    EXPECT_EQ(thread.Wait(platform::kInfinite), platform::kWaitObject0);
    EXPECT_EQ(thread.runs.load(), 0);
}

TEST(Thread, StartIsRefusedUntilStopThenRunsAgain) {
    CountingThread thread;
    ASSERT_TRUE(thread.Start(false));
    EXPECT_FALSE(thread.Start(false));
    EXPECT_EQ(thread.Wait(platform::kInfinite), platform::kWaitObject0);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.Start(false));  // ended by itself, but not stopped
    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(thread.Handle(), nullptr);
    ASSERT_TRUE(thread.Start(false));  // clears the stop request
    // Run before stopping: a stop requested before the new thread gets
    // going skips Run, and whether it does get going first is up to the
    // scheduler (on Windows it seldom does).
    EXPECT_EQ(thread.Wait(platform::kInfinite), platform::kWaitObject0);
    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(thread.runs.load(), 2);
}

TEST(Thread, WaitTimesOutWhileRunContinues) {
    CountingThread thread(true);
    ASSERT_TRUE(thread.Start(false));
    EXPECT_EQ(thread.Wait(100), platform::kWaitTimeout);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_TRUE(thread.Stop());
    EXPECT_FALSE(thread.IsRunning());
}

TEST(Thread, SuspendedTwiceIsResumedTwiceByStop) {
    CountingThread thread(true);
    ASSERT_TRUE(thread.Start(false));
    while (thread.ticks.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(thread.Suspend());
    ASSERT_TRUE(thread.Suspend());
    const long frozen = thread.ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(thread.ticks.load(), frozen);  // really stopped
    EXPECT_TRUE(thread.Stop());               // resumes twice, then joins
    EXPECT_EQ(thread.runs.load(), 1);
}

TEST(Thread, ResumeOnceOfTwoSuspendsKeepsItStopped) {
    CountingThread thread(true);
    ASSERT_TRUE(thread.Start(false));
    while (thread.ticks.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(thread.Suspend());
    ASSERT_TRUE(thread.Suspend());
    ASSERT_TRUE(thread.Resume());
    const long frozen = thread.ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(thread.ticks.load(), frozen);
    ASSERT_TRUE(thread.Resume());
    while (thread.ticks.load() == frozen) std::this_thread::yield();
    EXPECT_TRUE(thread.Stop());
}

TEST(Semaphore, CountsUpToFiveAndNoFurther) {
    Semaphore semaphore;
    ASSERT_TRUE(semaphore.Create(nullptr));
    EXPECT_FALSE(semaphore.Create(nullptr));  // the first stays in use
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(semaphore.Release()) << i;
    EXPECT_FALSE(semaphore.Release());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(semaphore.Wait(0), platform::kWaitObject0) << i;
    EXPECT_EQ(semaphore.Wait(50), platform::kWaitTimeout);
}

TEST(Semaphore, WakesAWaiterOnAnotherThread) {
    Semaphore semaphore;
    ASSERT_TRUE(semaphore.Create(nullptr));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        semaphore.Release();
    });
    EXPECT_EQ(semaphore.Wait(10000), platform::kWaitObject0);
    releaser.join();
}

TEST(Semaphore, CloseOnlyWhatWasCreated) {
    Semaphore never;
    EXPECT_FALSE(never.Close());
    EXPECT_EQ(never.Wait(0), platform::kWaitFailed);
    EXPECT_FALSE(never.Release());

    Semaphore once;
    ASSERT_TRUE(once.Create(nullptr));
    EXPECT_TRUE(once.Close());
    EXPECT_FALSE(once.Close());
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CriticalSection lock;
    lock.Enter();
    lock.Enter();  // a second enter on the same thread does not block
    std::atomic<bool> entered{false};
    std::thread other([&] {
        lock.Enter();
        entered = true;
        lock.Leave();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    lock.Leave();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());  // still held once
    lock.Leave();
    other.join();
    EXPECT_TRUE(entered.load());
}

}  // namespace
