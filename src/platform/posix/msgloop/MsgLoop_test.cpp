#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kivMsgLoop.h"

namespace {

constexpr uint32_t kFirst = 0x8001;  // an application message number

// Each test runs on the test thread, whose queue outlives the test: start and
// end with it empty, with no quit pending.
class MsgLoop : public ::testing::Test {
protected:
    void SetUp() override { Drain(); }
    void TearDown() override {
        for (void* hook : hooks_) kmsgUnhook(hook);
        Drain();
    }

    static void Drain() {
        kmsgMessage msg;
        while (kmsgPeekMessage(&msg, KMSG_REMOVE) != 0) {
        }
    }

    static uint32_t Self() { return kmsgCurrentThreadId(); }

    static bool Readable() {
        pollfd entry{kmsgQueueDescriptor(), POLLIN, 0};
        return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
    }

    void* Hook(kmsgHookProc proc, uint32_t thread = kmsgCurrentThreadId()) {
        void* hook = kmsgSetMessageHook(proc, thread);
        hooks_.push_back(hook);
        return hook;
    }

private:
    std::vector<void*> hooks_;
};

// A thread that runs `body` and then stays alive until `release` is set.
struct Parked {
    std::promise<uint32_t> id;
    std::promise<void> release;
    std::thread thread;

    template <class Body>
    explicit Parked(Body body) {
        thread = std::thread([this, body] {
            body();
            id.set_value(kmsgCurrentThreadId());
            release.get_future().wait();
        });
    }
    ~Parked() {
        release.set_value();
        thread.join();
    }
};

TEST_F(MsgLoop, ThreadIdIsTheKernelThreadId) {
    EXPECT_EQ(kmsgCurrentThreadId(), static_cast<uint32_t>(gettid()));
}

TEST_F(MsgLoop, PostFailsForThreadWithoutQueue) {
    Parked idle([] {});
    EXPECT_EQ(kmsgPostThreadMessage(idle.id.get_future().get(), kFirst, 0, 0), 0);
}

TEST_F(MsgLoop, PostSucceedsOnceTheThreadHasAQueue) {
    Parked owner([] {
        kmsgMessage msg;
        kmsgPeekMessage(&msg, KMSG_NOREMOVE);
    });
    EXPECT_NE(kmsgPostThreadMessage(owner.id.get_future().get(), kFirst, 0, 0), 0);
}

TEST_F(MsgLoop, PostFailsAfterOwnerEnded) {
    uint32_t id = 0;
    std::thread owner([&] {
        kmsgMessage msg;
        kmsgPeekMessage(&msg, KMSG_NOREMOVE);
        id = kmsgCurrentThreadId();
        ASSERT_NE(kmsgPostThreadMessage(id, kFirst, 0, 0), 0);
    });
    owner.join();
    EXPECT_EQ(kmsgPostThreadMessage(id, kFirst, 0, 0), 0);
}

TEST_F(MsgLoop, DeliversInPostingOrder) {
    for (uintptr_t i = 0; i < 100; ++i) {
        ASSERT_NE(kmsgPostThreadMessage(Self(), kFirst + (i % 3), i, -static_cast<intptr_t>(i)), 0);
    }
    void* window = &window;
    ASSERT_NE(kmsgPostWindowMessage(Self(), window, kFirst, 100, 0), 0);
    kmsgMessage msg;
    for (uintptr_t i = 0; i < 100; ++i) {
        ASSERT_EQ(kmsgGetMessage(&msg), 1);
        EXPECT_EQ(msg.hwnd, nullptr);
        EXPECT_EQ(msg.message, kFirst + (i % 3));
        EXPECT_EQ(msg.wParam, i);
        EXPECT_EQ(msg.lParam, -static_cast<intptr_t>(i));
    }
    ASSERT_EQ(kmsgGetMessage(&msg), 1);
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.wParam, 100u);
    EXPECT_EQ(kmsgPeekMessage(&msg, KMSG_REMOVE), 0);
}

TEST_F(MsgLoop, GetWaitsForPostFromAnotherThread) {
    const uint32_t self = Self();
    kmsgMessage msg;
    kmsgPeekMessage(&msg, KMSG_NOREMOVE);  // makes sure the queue exists
    std::thread poster([self] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kmsgPostThreadMessage(self, kFirst, 42, 0);
    });
    EXPECT_EQ(kmsgGetMessage(&msg), 1);
    EXPECT_EQ(msg.wParam, 42u);
    poster.join();
}

TEST_F(MsgLoop, RefusesPostsAtQueueLimit) {
    for (int i = 0; i < KMSG_QUEUE_LIMIT; ++i) ASSERT_NE(kmsgPostThreadMessage(Self(), kFirst, i, 0), 0);
    EXPECT_EQ(kmsgPostThreadMessage(Self(), kFirst, 0, 0), 0);
    kmsgMessage msg;
    EXPECT_EQ(kmsgPostWindowMessage(Self(), &msg, kFirst, 0, 0), 0);
    ASSERT_EQ(kmsgPeekMessage(&msg, KMSG_REMOVE), 1);
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_NE(kmsgPostThreadMessage(Self(), kFirst, 0, 0), 0);
}

TEST_F(MsgLoop, PeekNoRemoveCopiesAndRemoveTakes) {
    kmsgMessage msg;
    EXPECT_EQ(kmsgPeekMessage(&msg, KMSG_NOREMOVE), 0);
    EXPECT_EQ(kmsgPeekMessage(nullptr, KMSG_NOREMOVE), 0);
    kmsgPostThreadMessage(Self(), kFirst, 1, 0);
    kmsgPostThreadMessage(Self(), kFirst, 2, 0);
    const std::pair<unsigned, uintptr_t> steps[] = {
        {KMSG_NOREMOVE, 1}, {KMSG_NOREMOVE, 1}, {KMSG_REMOVE, 1}, {KMSG_NOREMOVE, 2}, {KMSG_REMOVE, 2}};
    for (const auto& [flag, expected] : steps) {
        ASSERT_EQ(kmsgPeekMessage(&msg, flag), 1);
        EXPECT_EQ(msg.wParam, expected);
    }
    EXPECT_EQ(kmsgPeekMessage(&msg, KMSG_REMOVE), 0);
}

TEST_F(MsgLoop, QuitComesOnlyAfterOtherMessages) {
    kmsgPostQuitMessage(7);
    kmsgPostThreadMessage(Self(), kFirst, 1, 0);
    kmsgPostThreadMessage(Self(), kFirst, 2, 0);
    kmsgMessage msg;
    ASSERT_EQ(kmsgGetMessage(&msg), 1);
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_EQ(kmsgGetMessage(&msg), 1);
    EXPECT_EQ(msg.wParam, 2u);
    ASSERT_EQ(kmsgPeekMessage(&msg, KMSG_NOREMOVE), 1);  // peeking leaves it pending
    EXPECT_EQ(msg.message, KMSG_QUIT);
    EXPECT_EQ(kmsgGetMessage(&msg), 0);
    EXPECT_EQ(msg.message, KMSG_QUIT);
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_EQ(kmsgPeekMessage(&msg, KMSG_REMOVE), 0);
    EXPECT_EQ(kmsgGetMessage(nullptr), -1);
}

TEST_F(MsgLoop, DescriptorReadableExactlyWhileSomethingWaits) {
    kmsgMessage msg;
    EXPECT_GE(kmsgQueueDescriptor(), 0);
    EXPECT_EQ(kmsgQueueDescriptor(), kmsgQueueDescriptor());
    EXPECT_FALSE(Readable());
    kmsgPostThreadMessage(Self(), kFirst, 1, 0);
    EXPECT_TRUE(Readable());
    kmsgPostThreadMessage(Self(), kFirst, 2, 0);
    kmsgPeekMessage(&msg, KMSG_NOREMOVE);
    EXPECT_TRUE(Readable());
    kmsgPeekMessage(&msg, KMSG_REMOVE);
    EXPECT_TRUE(Readable());
    kmsgGetMessage(&msg);
    EXPECT_FALSE(Readable());
    kmsgPostQuitMessage(0);
    EXPECT_TRUE(Readable());
    kmsgPeekMessage(&msg, KMSG_NOREMOVE);
    EXPECT_TRUE(Readable());
    kmsgGetMessage(&msg);
    EXPECT_FALSE(Readable());
}

// ---- hooks ------------------------------------------------------------------

// What the hooks saw, in order: which hook, its remove flag, the message.
struct Seen {
    std::string hook;
    uintptr_t removeFlag;
    uint32_t message;
    uintptr_t wParam;
    bool operator==(const Seen& other) const {
        return hook == other.hook && removeFlag == other.removeFlag && message == other.message &&
               wParam == other.wParam;
    }
};
std::ostream& operator<<(std::ostream& out, const Seen& seen) {
    return out << seen.hook << "(" << seen.removeFlag << ", " << seen.message << ", " << seen.wParam << ")";
}
std::vector<Seen> seen;
const kmsgMessage* lastSeenMessage = nullptr;

void Record(const char* name, uintptr_t wParam, intptr_t lParam) {
    const auto* msg = reinterpret_cast<const kmsgMessage*>(lParam);
    lastSeenMessage = msg;
    seen.push_back({name, wParam, msg->message, msg->wParam});
}

intptr_t OlderHook(int code, uintptr_t wParam, intptr_t lParam) {
    Record("older", wParam, lParam);
    EXPECT_EQ(kmsgCallNextHook(nullptr, code, wParam, lParam), 0);  // last of the chain
    return 10;
}
intptr_t NewerHook(int code, uintptr_t wParam, intptr_t lParam) {
    EXPECT_EQ(code, KMSG_HC_ACTION);
    Record("newer", wParam, lParam);
    EXPECT_EQ(kmsgCallNextHook(nullptr, code, wParam, lParam), 10);
    return 0;
}
intptr_t PassingHook(int code, uintptr_t wParam, intptr_t lParam) {
    Record("passing", wParam, lParam);
    return kmsgCallNextHook(nullptr, code, wParam, lParam);
}

void* selfRemovingHook = nullptr;
intptr_t SelfRemovingHook(int code, uintptr_t wParam, intptr_t lParam) {
    Record("self-removing", wParam, lParam);
    EXPECT_NE(kmsgUnhook(selfRemovingHook), 0);
    return kmsgCallNextHook(selfRemovingHook, code, wParam, lParam);
}

intptr_t NestingHook(int code, uintptr_t wParam, intptr_t lParam) {
    Record("nesting", wParam, lParam);
    if (reinterpret_cast<const kmsgMessage*>(lParam)->wParam == 1) {
        kmsgMessage inner;
        EXPECT_EQ(kmsgPeekMessage(&inner, KMSG_REMOVE), 1);
        EXPECT_EQ(inner.wParam, 2u);
    }
    return kmsgCallNextHook(nullptr, code, wParam, lParam);
}

class MsgLoopHook : public MsgLoop {
protected:
    void SetUp() override {
        MsgLoop::SetUp();
        seen.clear();
    }
};

TEST_F(MsgLoopHook, ChainRunsNewestFirstThroughCallNextHook) {
    Hook(OlderHook);
    // Installed from another thread for this one; a hook for another thread
    // must not run here.
    std::thread([this, self = Self()] { Hook(NewerHook, self); }).join();
    Hook(PassingHook, Self() + 1);
    kmsgPostThreadMessage(Self(), kFirst, 5, 0);
    kmsgMessage msg;
    ASSERT_EQ(kmsgGetMessage(&msg), 1);
    const std::vector<Seen> expected = {{"newer", KMSG_REMOVE, kFirst, 5}, {"older", KMSG_REMOVE, kFirst, 5}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(lastSeenMessage, &msg);
    EXPECT_EQ(kmsgCallNextHook(nullptr, KMSG_HC_ACTION, 0, 0), 0);  // outside any hook
}

TEST_F(MsgLoopHook, EveryRetrievalRunsTheHookWithItsRemoveFlag) {
    struct Case {
        const char* retrieval;
        int (*retrieve)(kmsgMessage*);
        uintptr_t removeFlag;
        bool quit;
    };
    const Case cases[] = {
        {"get", [](kmsgMessage* m) { return kmsgGetMessage(m); }, KMSG_REMOVE, false},
        {"peek-remove", [](kmsgMessage* m) { return kmsgPeekMessage(m, KMSG_REMOVE); }, KMSG_REMOVE, false},
        {"peek-noremove", [](kmsgMessage* m) { return kmsgPeekMessage(m, KMSG_NOREMOVE); }, KMSG_NOREMOVE, false},
        {"get-quit", [](kmsgMessage* m) { return kmsgGetMessage(m); }, KMSG_REMOVE, true},
        {"peek-noremove-quit", [](kmsgMessage* m) { return kmsgPeekMessage(m, KMSG_NOREMOVE); }, KMSG_NOREMOVE, true},
    };
    Hook(PassingHook);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.retrieval);
        Drain();
        if (c.quit) {
            kmsgPostQuitMessage(3);
        } else {
            kmsgPostThreadMessage(Self(), kFirst, 3, 0);
        }
        seen.clear();
        kmsgMessage msg;
        c.retrieve(&msg);
        const std::vector<Seen> expected = {{"passing", c.removeFlag, c.quit ? KMSG_QUIT : kFirst, 3}};
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(lastSeenMessage, &msg);
    }
}

TEST_F(MsgLoopHook, HookMayRemoveItselfDuringItsCall) {
    Hook(OlderHook);
    selfRemovingHook = kmsgSetMessageHook(SelfRemovingHook, Self());
    kmsgPostThreadMessage(Self(), kFirst, 1, 0);
    kmsgPostThreadMessage(Self(), kFirst, 2, 0);
    kmsgMessage msg;
    kmsgGetMessage(&msg);
    kmsgGetMessage(&msg);
    const std::vector<Seen> expected = {
        {"self-removing", KMSG_REMOVE, kFirst, 1}, {"older", KMSG_REMOVE, kFirst, 1}, {"older", KMSG_REMOVE, kFirst, 2}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(kmsgUnhook(selfRemovingHook), 0);
    EXPECT_EQ(kmsgUnhook(&seen), 0);
}

TEST_F(MsgLoopHook, NestedRetrievalInsideHookWalksItsOwnChain) {
    Hook(PassingHook);
    Hook(NestingHook);
    kmsgPostThreadMessage(Self(), kFirst, 1, 0);
    kmsgPostThreadMessage(Self(), kFirst, 2, 0);
    kmsgMessage msg;
    ASSERT_EQ(kmsgGetMessage(&msg), 1);
    EXPECT_EQ(msg.wParam, 1u);
    const std::vector<Seen> expected = {{"nesting", KMSG_REMOVE, kFirst, 1},
                                        {"nesting", KMSG_REMOVE, kFirst, 2},
                                        {"passing", KMSG_REMOVE, kFirst, 2},
                                        {"passing", KMSG_REMOVE, kFirst, 1}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(kmsgPeekMessage(&msg, KMSG_REMOVE), 0);
}

TEST_F(MsgLoopHook, SetRejectsNullProcedure) { EXPECT_EQ(kmsgSetMessageHook(nullptr, Self()), nullptr); }

}  // namespace
