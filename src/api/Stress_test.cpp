// Load through the exports: thousands of queued requests and hundreds of
// downloads from several host threads, cancels at random moments, clean-up
// in the middle of the traffic, many start-up/clean-up cycles, and blocking
// calls from eight threads sharing cookies and DNS with the services.
//
// The server misbehaves at random (answers, delays, trickles, drops
// mid-body, errors, refuses), chosen per request by the test so that every
// result can be checked. Counts shrink under the sanitizers and valgrind
// (kivtest::StressScale, KIV_STRESS_SCALE); KIV_STRESS_SEED repeats a run.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kivHttp.h"
#include "kivMsgLoop.h"
#include "kivtest/ApiHelpers.h"
#include "kivtest/ChaosServer.h"
#include "kivtest/ClosedPort.h"
#include "kivtest/kivtest.h"

namespace {

using Clock = std::chrono::steady_clock;
using kivtest::BodyOf;
using kivtest::ChaosBody;
using kivtest::HeaderOf;
using kivtest::Scaled;

constexpr int kHostThreads = 4;

std::uint32_t Seed() {
    if (const char* text = std::getenv("KIV_STRESS_SEED")) {
        return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    }
    return static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
}

// ---- what a request is meant to get ------------------------------------

enum class Kind { Full, Delay, Trickle, Drop, Error, Refused, Post };

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Full: return "full";
    case Kind::Delay: return "delay";
    case Kind::Trickle: return "trickle";
    case Kind::Drop: return "drop";
    case Kind::Error: return "error";
    case Kind::Refused: return "refused";
    case Kind::Post: return "post";
    }
    return "?";
}

struct Plan {
    int index = 0;
    Kind kind = Kind::Full;
    std::string url;
    std::string post;      // request body of a POST
    std::string expected;  // the body the server sends when it answers in full
    std::size_t cut = 0;   // bytes a dropped answer delivers
    int code = 200;
};

// Picks a behaviour at random. `forDownload` leaves out POST.
Plan MakePlan(int index, std::mt19937& rng, const kivtest::ChaosServer& server,
              const kivtest::ClosedPort& closed, bool forDownload) {
    Plan p;
    p.index = index;
    const int roll = std::uniform_int_distribution<int>(0, 99)(rng);
    if (forDownload) {
        p.kind = roll < 35 ? Kind::Full : roll < 70 ? Kind::Trickle : roll < 80 ? Kind::Delay
                                                                    : roll < 90 ? Kind::Drop
                                                                                : Kind::Refused;
    } else {
        p.kind = roll < 25 ? Kind::Full : roll < 35 ? Kind::Delay : roll < 45 ? Kind::Trickle
               : roll < 55 ? Kind::Drop : roll < 60 ? Kind::Error : roll < 70 ? Kind::Refused
                                                                  : Kind::Post;
    }
    // Mostly small bodies, now and then a large one.
    const std::size_t size = std::uniform_int_distribution<int>(0, 9)(rng) == 0
                                 ? std::uniform_int_distribution<std::size_t>(64 * 1024, 512 * 1024)(rng)
                                 : std::uniform_int_distribution<std::size_t>(2, 16 * 1024)(rng);
    const int ms = std::uniform_int_distribution<int>(4, 40)(rng);
    const std::string query = "i=" + std::to_string(index) + "&size=" + std::to_string(size);
    switch (p.kind) {
    case Kind::Full:
        p.url = server.Url("/chaos?" + query + "&mode=full");
        p.expected = ChaosBody(index, size);
        break;
    case Kind::Delay:
        p.url = server.Url("/chaos?" + query + "&mode=delay&ms=" + std::to_string(ms));
        p.expected = ChaosBody(index, size);
        break;
    case Kind::Trickle:
        p.url = server.Url("/chaos?" + query + "&mode=trickle&ms=" + std::to_string(ms));
        p.expected = ChaosBody(index, size);
        break;
    case Kind::Drop: {
        p.expected = ChaosBody(index, size);
        p.cut = std::uniform_int_distribution<std::size_t>(1, p.expected.size() - 1)(rng);
        p.url = server.Url("/chaos?" + query + "&mode=drop&cut=" + std::to_string(p.cut));
        break;
    }
    case Kind::Error:
        p.url = server.Url("/chaos?" + query + "&mode=error");
        p.expected = ChaosBody(index, size);
        p.code = 503;
        break;
    case Kind::Refused:
        p.url = closed.Url("/chaos?" + query);
        p.code = 0;
        break;
    case Kind::Post: {
        p.url = server.Url("/chaos-post?i=" + std::to_string(index));
        // The test server refuses form bodies over 8 KiB (libcurl's default
        // POST type is application/x-www-form-urlencoded).
        p.post.resize(std::uniform_int_distribution<std::size_t>(0, 8000)(rng));
        for (char& c : p.post) c = static_cast<char>(rng());
        p.expected = std::to_string(index) + ":" + p.post;
        break;
    }
    }
    return p;
}

// Checks a received body and status against the plan; "" when they fit.
std::string Mismatch(const Plan& p, int code, const std::string& body, const std::string& xreq) {
    const std::string tag = std::string(KindName(p.kind)) + " #" + std::to_string(p.index) + ": ";
    if (code != p.code) return tag + "status " + std::to_string(code);
    if (p.kind == Kind::Refused) {
        return body.empty() ? "" : tag + "body of " + std::to_string(body.size()) + " bytes";
    }
    if (xreq != std::to_string(p.index)) return tag + "X-Req " + xreq;
    if (p.kind == Kind::Drop) {
        // Whatever arrived before the connection closed, and nothing else.
        if (body.size() > p.cut || p.expected.compare(0, body.size(), body) != 0) {
            return tag + "dropped body of " + std::to_string(body.size()) + " bytes is not a prefix";
        }
        return "";
    }
    if (body != p.expected) {
        return tag + "body of " + std::to_string(body.size()) + " bytes, expected " +
               std::to_string(p.expected.size());
    }
    return "";
}

// ---- bookkeeping ---------------------------------------------------------

enum Canceller { kNobody = 0, kStartupThread = 1, kHostGated = 2, kHostFree = 3 };

// One request's story. The atomics cross threads; everything else is
// written and read on the start-up thread only (callbacks run there).
struct Record {
    Plan plan;
    int owner = 0;
    std::atomic<int> id{0};
    std::atomic<int> canceller{kNobody};
    std::atomic<int> cancelState{0};  // 0 none, 1 in kivAsyncCancel, 2 returned
    std::atomic<bool> settled{false};

    int callbacks = 0;
    int stateAtCallback = 0;
    bool nullResponse = false;
    int code = -1;
    std::string body;
    std::string xreq;
};

struct DueCancel {
    Clock::time_point due;
    int index;
};

// Messages are retrieved under `gate`, and "gated" host cancels run under
// it too, so such a cancel is either wholly before or wholly after each
// hand-off: any callback that sees it returned is a broken promise.
struct Load {
    std::vector<std::unique_ptr<Record>> records;
    std::atomic<int> outstanding[kHostThreads];
    std::mutex gate;
    std::mutex startupCancelsLock;
    std::vector<DueCancel> startupCancels;
    std::atomic<int> hostsDone{0};
    std::atomic<int> downloadsInFlight{0};

    Load() {
        for (auto& o : outstanding) o = 0;
    }

    void Settle(Record& r) {
        if (!r.settled.exchange(true)) --outstanding[r.owner];
    }
};

Load* load = nullptr;

void KIV_CALL OnLoadDone(kivHttpResponse* response, int index) {
    Record& r = *load->records[static_cast<std::size_t>(index)];
    if (++r.callbacks == 1) {
        r.stateAtCallback = r.cancelState.load();
        r.nullResponse = response == nullptr;
        r.code = kivGetHttpCode(response);
        r.body = BodyOf(response);
        r.xreq = HeaderOf(response, "X-Req");
    }
    kivFreeHttp(response);
    load->Settle(r);
}

// Download responses have no body; the file is read at the end.
void KIV_CALL OnDownloadDone(kivHttpResponse* response, int index) {
    Record& r = *load->records[static_cast<std::size_t>(index)];
    if (++r.callbacks == 1) {
        r.stateAtCallback = r.cancelState.load();
        r.nullResponse = response == nullptr;
        r.code = kivGetHttpCode(response);
        r.xreq = HeaderOf(response, "X-Req");
        if (kivGetHttpBody(response) != nullptr) r.body = "<download has a body>";
    }
    kivFreeHttp(response);
    load->Settle(r);
}

using CancelFunction = void(KIV_CALL*)(int);

// The start-up thread's cancels that are due, also run from callbacks.
void RunDueStartupCancels(CancelFunction cancel) {
    std::vector<DueCancel> due;
    {
        std::lock_guard<std::mutex> lock(load->startupCancelsLock);
        const Clock::time_point now = Clock::now();
        auto split = std::partition(load->startupCancels.begin(), load->startupCancels.end(),
                                    [now](const DueCancel& d) { return d.due > now; });
        due.assign(split, load->startupCancels.end());
        load->startupCancels.erase(split, load->startupCancels.end());
    }
    for (const DueCancel& d : due) {
        Record& r = *load->records[static_cast<std::size_t>(d.index)];
        r.cancelState = 1;
        cancel(r.id.load());
        r.cancelState = 2;
        load->Settle(r);
    }
}

bool StartupCancelsLeft() {
    std::lock_guard<std::mutex> lock(load->startupCancelsLock);
    return !load->startupCancels.empty();
}

// The start-up thread's loop: retrieves messages under the gate, a few at
// a time, and runs its own due cancels in between.
bool PumpLoad(const std::function<bool()>& done, int timeoutMs, CancelFunction cancel) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        {
            std::lock_guard<std::mutex> lock(load->gate);
            kmsgMessage msg;
            for (int i = 0; i < 16 && kmsgPeekMessage(&msg, KMSG_REMOVE); ++i) {
            }
        }
        RunDueStartupCancels(cancel);
        pollfd fd{kmsgQueueDescriptor(), POLLIN, 0};
        ::poll(&fd, 1, 1);
    }
    return true;
}

// Random cancel delays: a third at once (the request still queued), the
// rest spread so that some land while it runs, some after it completed and
// some after it was handed back.
Clock::duration CancelDelay(std::mt19937& rng) {
    const int roll = std::uniform_int_distribution<int>(0, 2)(rng);
    if (roll == 0) return Clock::duration::zero();
    const int ms = roll == 1 ? std::uniform_int_distribution<int>(0, 15)(rng)
                             : std::uniform_int_distribution<int>(15, 150)(rng);
    return std::chrono::milliseconds(ms);
}

struct Tally {
    int completed = 0;
    int cancelledSilently = 0;
    int cancelledAfterHandBack = 0;
    int racedFreeCancels = 0;
    int failures = 0;
};

void Fail(Tally& t, const std::string& what) {
    if (++t.failures <= 20) ADD_FAILURE() << what;
}

// ---- the queued-request load ---------------------------------------------

class StressTest : public testing::Test {
protected:
    void SetUp() override {
        seed = Seed();
        std::cout << "[ stress   ] seed " << seed << " (KIV_STRESS_SEED), scale "
                  << kivtest::StressScale() << std::endl;
        RecordProperty("seed", std::to_string(seed));
        load = &state;
    }
    void TearDown() override {
        kivHttpCleanup();
        kivtest::PumpFor(10);
        load = nullptr;
    }

    // Plans `Scaled(full, floor)` transfers, rounded to whole shares of the
    // host threads, and gives each its owner; returns the share per thread.
    int PlanRecords(int full, int floor, bool downloads) {
        const int total = Scaled(full, floor) / kHostThreads * kHostThreads;
        const int perThread = total / kHostThreads;
        std::mt19937 rng(seed);
        for (int i = 0; i < total; ++i) {
            state.records.push_back(std::make_unique<Record>());
            Record& r = *state.records.back();
            r.plan = MakePlan(i, rng, server, closed, downloads);
            r.owner = i / perThread;
        }
        return perThread;
    }

    std::uint32_t seed = 0;
    Load state;
    kivtest::ChaosServer server{96};
    kivtest::ClosedPort closed;
    kivtest::TempDir dir;
};

// One host thread of the queued load: issues its share with at most
// `window` unsettled at a time, and cancels a quarter at random moments.
void QueueRequests(int owner, int first, int count, int window, std::uint32_t seed) {
    std::mt19937 rng(seed + static_cast<std::uint32_t>(owner) * 7919u);
    std::vector<DueCancel> mine;
    auto runDue = [&](bool all) {
        const Clock::time_point now = Clock::now();
        for (auto it = mine.begin(); it != mine.end();) {
            if (!all && it->due > now) {
                ++it;
                continue;
            }
            if (all && it->due > now) std::this_thread::sleep_until(it->due);
            Record& r = *load->records[static_cast<std::size_t>(it->index)];
            if (r.canceller == kHostGated) {
                std::lock_guard<std::mutex> lock(load->gate);
                r.cancelState = 1;
                kivAsyncCancel(r.id.load());
                r.cancelState = 2;
            } else {
                r.cancelState = 1;
                kivAsyncCancel(r.id.load());
                r.cancelState = 2;
            }
            load->Settle(r);
            it = mine.erase(it);
        }
    };
    for (int n = 0; n < count; ++n) {
        while (load->outstanding[owner].load() >= window) {
            runDue(false);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        Record& r = *load->records[static_cast<std::size_t>(first + n)];
        ++load->outstanding[owner];
        int id = 0;
        if (r.plan.kind == Kind::Post) {
            std::string copy = r.plan.post;
            id = kivAsyncPost(r.plan.url.c_str(), copy.data(), static_cast<int>(copy.size()),
                              &OnLoadDone, r.plan.index);
            std::fill(copy.begin(), copy.end(), 'X');  // the library sends its own copy
        } else {
            id = kivAsyncGet(r.plan.url.c_str(), &OnLoadDone, r.plan.index);
        }
        r.id = id;
        if (id == 0) {
            ADD_FAILURE() << "request " << r.plan.index << " was refused";
            load->Settle(r);
            continue;
        }
        if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
            const int who = std::uniform_int_distribution<int>(1, 3)(rng);
            r.canceller = who;
            const DueCancel d{Clock::now() + CancelDelay(rng), r.plan.index};
            if (who == kStartupThread) {
                std::lock_guard<std::mutex> lock(load->startupCancelsLock);
                load->startupCancels.push_back(d);
            } else {
                mine.push_back(d);
            }
        }
        runDue(false);
        if (std::uniform_int_distribution<int>(0, 9)(rng) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(
                std::uniform_int_distribution<int>(0, 3)(rng)));
        }
    }
    runDue(true);
    ++load->hostsDone;
}

int sentinelCalls = 0;
void KIV_CALL OnSentinel(kivHttpResponse* response, int) {
    ++sentinelCalls;
    kivFreeHttp(response);
}

// Every earlier request has been performed and handed back (or dropped)
// once a request queued after them all comes back: the queue is FIFO.
void DrainWithSentinel(const kivtest::ChaosServer& server) {
    sentinelCalls = 0;
    ASSERT_NE(kivAsyncGet(server.Url("/chaos?i=-1&size=1").c_str(), &OnSentinel, 0), 0);
    ASSERT_TRUE(PumpLoad([] { return sentinelCalls > 0; }, 60000, &kivAsyncCancel));
    kivtest::PumpFor(50);
}

Tally CheckQueued(const Load& l) {
    Tally t;
    for (const auto& rp : l.records) {
        const Record& r = *rp;
        const std::string tag =
            std::string(KindName(r.plan.kind)) + " #" + std::to_string(r.plan.index);
        if (r.callbacks > 1) {
            Fail(t, tag + " called back " + std::to_string(r.callbacks) + " times");
            continue;
        }
        if (r.callbacks == 1 && r.nullResponse) {
            Fail(t, tag + " called back with a null response");
            continue;
        }
        auto checkBody = [&] {
            const std::string wrong = Mismatch(r.plan, r.code, r.body, r.xreq);
            if (!wrong.empty()) Fail(t, wrong);
        };
        if (r.cancelState == 0) {
            if (r.callbacks == 0) {
                Fail(t, tag + " was never called back (result lost)");
            } else {
                ++t.completed;
                checkBody();
            }
            continue;
        }
        if (r.callbacks == 0) {
            ++t.cancelledSilently;
        } else if (r.stateAtCallback == 0) {
            ++t.cancelledAfterHandBack;  // the cancel came too late: an unknown id
            checkBody();
        } else if (r.stateAtCallback == 2 && r.canceller != kHostFree) {
            Fail(t, tag + " was called back after its cancel had returned (canceller " +
                        std::to_string(r.canceller.load()) + ")");
        } else {
            ++t.racedFreeCancels;  // cancel and hand-off overlapped on two threads
            checkBody();
        }
    }
    return t;
}

void Report(const char* what, const Tally& t, double seconds) {
    std::cout << "[ stress   ] " << what << ": " << t.completed << " completed, "
              << t.cancelledSilently << " cancelled without callback, " << t.cancelledAfterHandBack
              << " cancelled after hand-back, " << t.racedFreeCancels
              << " cancels overlapping a hand-off, " << t.failures << " failures, " << seconds
              << " s" << std::endl;
}

TEST_F(StressTest, QueuedRequestsFromFourThreadsWithRandomCancelsLoseNothing) {
    const int perThread = PlanRecords(2000, 40, false);
    const int total = perThread * kHostThreads;

    kivtest::Stopwatch clock;
    kivHttpStartup();
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
        hosts.emplace_back(QueueRequests, t, t * perThread, perThread, 4, seed);
    }
    const bool finished = PumpLoad(
        [&] { return state.hostsDone.load() == kHostThreads && !StartupCancelsLeft(); },
        170000, &kivAsyncCancel);
    for (auto& h : hosts) h.join();
    ASSERT_TRUE(finished) << "the load did not finish in time";
    DrainWithSentinel(server);

    const Tally t = CheckQueued(state);
    Report("queued", t, clock.Seconds());
    EXPECT_EQ(t.failures, 0);
    EXPECT_EQ(t.completed + t.cancelledSilently + t.cancelledAfterHandBack + t.racedFreeCancels,
              total);
    EXPECT_GT(t.cancelledSilently, 0);
}

// ---- downloads -------------------------------------------------------------

void StartDownloads(int owner, int first, int count, const kivtest::TempDir* dir,
                    std::uint32_t seed) {
    std::mt19937 rng(seed + 104729u * static_cast<std::uint32_t>(owner + 1));
    std::vector<DueCancel> mine;
    for (int n = 0; n < count; ++n) {
        Record& r = *load->records[static_cast<std::size_t>(first + n)];
        ++load->outstanding[owner];
        const std::string path = dir->Path("d" + std::to_string(r.plan.index));
        const int id = kivAsyncDownload(r.plan.url.c_str(), path.c_str(), &OnDownloadDone,
                                        r.plan.index);
        r.id = id;
        if (id == 0) {
            ADD_FAILURE() << "download " << r.plan.index << " was refused";
            load->Settle(r);
            continue;
        }
        if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
            const int who = std::uniform_int_distribution<int>(0, 1)(rng) ? kHostFree : kStartupThread;
            r.canceller = who;
            const DueCancel d{Clock::now() + CancelDelay(rng), r.plan.index};
            if (who == kStartupThread) {
                std::lock_guard<std::mutex> lock(load->startupCancelsLock);
                load->startupCancels.push_back(d);
            } else {
                mine.push_back(d);
            }
        }
    }
    std::sort(mine.begin(), mine.end(),
              [](const DueCancel& a, const DueCancel& b) { return a.due < b.due; });
    for (const DueCancel& d : mine) {
        std::this_thread::sleep_until(d.due);
        Record& r = *load->records[static_cast<std::size_t>(d.index)];
        r.cancelState = 1;
        kivAsyncCancelDownload(r.id.load());
        r.cancelState = 2;
        load->Settle(r);
    }
    ++load->hostsDone;
}

TEST_F(StressTest, ConcurrentDownloadsWithRandomCancelsLoseNothing) {
    const int perThread = PlanRecords(200, 8, true);
    const int total = perThread * kHostThreads;
    for (const auto& r : state.records) {
        // Long enough that the downloads overlap and cancels find them running.
        if (r->plan.kind == Kind::Trickle) {
            r->plan.url += "0";  // ms=T becomes 10*T: up to 400 ms per download
        }
    }

    kivtest::Stopwatch clock;
    kivHttpStartup();
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
        hosts.emplace_back(StartDownloads, t, t * perThread, perThread, &dir, seed);
    }
    auto allSettled = [&] {
        if (state.hostsDone.load() != kHostThreads || StartupCancelsLeft()) return false;
        for (const auto& r : state.records) {
            if (!r->settled) return false;
        }
        return true;
    };
    const bool finished = PumpLoad(allSettled, 170000, &kivAsyncCancelDownload);
    for (auto& h : hosts) h.join();
    ASSERT_TRUE(finished) << "the downloads did not finish in time";
    kivtest::PumpFor(100);  // nothing more may come

    Tally t;
    for (const auto& rp : state.records) {
        const Record& r = *rp;
        const std::string tag = std::string(KindName(r.plan.kind)) + " download #" +
                                std::to_string(r.plan.index);
        const std::string path = dir.Path("d" + std::to_string(r.plan.index));
        const std::string file = kivtest::ReadFile(path);
        if (r.callbacks > 1) {
            Fail(t, tag + " called back " + std::to_string(r.callbacks) + " times");
            continue;
        }
        const bool cancelled = r.cancelState != 0 && (r.callbacks == 0 || r.stateAtCallback != 0);
        if (cancelled) {
            if (r.callbacks == 0) {
                ++t.cancelledSilently;
            } else if (r.stateAtCallback == 2) {
                Fail(t, tag + " was called back after kivAsyncCancelDownload returned");
            } else {
                ++t.racedFreeCancels;
            }
            // The file keeps what was written: some prefix of the body.
            if (file.size() > r.plan.expected.size() ||
                r.plan.expected.compare(0, file.size(), file) != 0) {
                Fail(t, tag + ": cancelled file of " + std::to_string(file.size()) +
                            " bytes is not a prefix of the body");
            }
            continue;
        }
        if (r.callbacks == 0) {
            Fail(t, tag + " was never called back (result lost)");
            continue;
        }
        if (r.cancelState != 0) ++t.cancelledAfterHandBack; else ++t.completed;
        if (r.nullResponse || !r.body.empty()) {
            Fail(t, tag + " has a null response or a body");
            continue;
        }
        const std::string wrong = Mismatch(r.plan, r.code, file, r.xreq);
        if (!wrong.empty()) Fail(t, "file of " + wrong);
        if (r.plan.kind == Kind::Refused && kivtest::FileExists(path)) {
            Fail(t, tag + " created a file without receiving anything");
        }
    }
    Report("downloads", t, clock.Seconds());
    EXPECT_EQ(t.failures, 0);
    EXPECT_EQ(t.completed + t.cancelledSilently + t.cancelledAfterHandBack + t.racedFreeCancels,
              total);
}

// ---- clean-up while everything runs ----------------------------------------

std::atomic<bool> stopIssuing{false};

void MixedTraffic(int owner, int first, int count, const kivtest::TempDir* dir,
                  std::uint32_t seed) {
    std::mt19937 rng(seed + 31337u * static_cast<std::uint32_t>(owner + 1));
    for (int n = 0; n < count && !stopIssuing; ++n) {
        Record& r = *load->records[static_cast<std::size_t>(first + n)];
        while (load->outstanding[owner].load() >= 12 && !stopIssuing) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (stopIssuing) break;
        ++load->outstanding[owner];
        int id = 0;
        if (r.plan.index % 3 == 2) {
            const std::string path = dir->Path("m" + std::to_string(r.plan.index));
            id = kivAsyncDownload(r.plan.url.c_str(), path.c_str(), &OnDownloadDone, r.plan.index);
            r.canceller = -1;  // marks a download
        } else if (r.plan.kind == Kind::Post) {
            id = kivAsyncPost(r.plan.url.c_str(), r.plan.post.data(),
                              static_cast<int>(r.plan.post.size()), &OnLoadDone, r.plan.index);
        } else {
            id = kivAsyncGet(r.plan.url.c_str(), &OnLoadDone, r.plan.index);
        }
        r.id = id;
        if (id != 0 && std::uniform_int_distribution<int>(0, 5)(rng) == 0) {
            r.cancelState = 1;
            if (r.canceller == -1) kivAsyncCancelDownload(id); else kivAsyncCancel(id);
            r.cancelState = 2;
            load->Settle(r);
        }
    }
    ++load->hostsDone;
}

int lateCallbacks = 0;
void KIV_CALL OnAfterCleanup(kivHttpResponse* response, int) {
    ++lateCallbacks;
    kivFreeHttp(response);
}

TEST_F(StressTest, CleanupInTheMiddleOfTheLoadStopsEverythingAndCallsNobody) {
    const int perThread = Scaled(150, 12);
    const int total = perThread * kHostThreads;
    std::mt19937 rng(seed);
    for (int i = 0; i < total; ++i) {
        state.records.push_back(std::make_unique<Record>());
        Record& r = *state.records.back();
        r.plan = MakePlan(i, rng, server, closed, false);
        if (i % 3 == 2 && r.plan.kind == Kind::Post) r.plan = MakePlan(i, rng, server, closed, true);
        if (i % 3 == 2 && r.plan.kind == Kind::Trickle) r.plan.url += "00";  // seconds long
        r.owner = i / perThread;
    }

    kivHttpStartup();
    stopIssuing = false;
    lateCallbacks = 0;
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
        hosts.emplace_back(MixedTraffic, t, t * perThread, perThread, &dir, seed);
    }
    // Let a good part of the load through, then stop the hosts (no call
    // may overlap clean-up) and clean up with the rest in flight.
    auto handedBack = [&] {
        int n = 0;
        for (const auto& r : state.records) n += r->callbacks;
        return n;
    };
    kivtest::PumpUntil([&] { return handedBack() >= total / 3; }, 60000);
    stopIssuing = true;
    for (auto& h : hosts) h.join();

    int inFlight = 0;
    for (const auto& r : state.records) {
        if (r->id != 0 && !r->settled) ++inFlight;
    }
    const int before = handedBack();
    kivtest::Stopwatch clock;
    kivHttpCleanup();
    const double cleanupSeconds = clock.Seconds();
    std::cout << "[ stress   ] clean-up with " << inFlight << " requests and downloads in flight took "
              << cleanupSeconds << " s" << std::endl;
    // Queued requests are performed first (each at most a few hundred ms
    // here); downloads stop at once.
    EXPECT_LT(cleanupSeconds, 20.0);

    kivtest::PumpFor(300);
    EXPECT_EQ(handedBack(), before) << "callbacks after kivHttpCleanup returned";
    EXPECT_EQ(kivAsyncGet(server.Url("/text").c_str(), &OnAfterCleanup, 0), 0);

    Tally t;
    for (const auto& rp : state.records) {
        const Record& r = *rp;
        if (r.callbacks > 1) Fail(t, "#" + std::to_string(r.plan.index) + " called back twice");
        if (r.callbacks == 1 && r.canceller != -1 && r.stateAtCallback == 0) {
            const std::string wrong = Mismatch(r.plan, r.code, r.body, r.xreq);
            if (!wrong.empty()) Fail(t, wrong);
        }
        if (r.callbacks == 1 && r.stateAtCallback == 2) {
            Fail(t, "#" + std::to_string(r.plan.index) + " called back after its cancel");
        }
    }
    EXPECT_EQ(t.failures, 0);

    // And the library starts again as if nothing happened.
    lateCallbacks = 0;
    kivHttpStartup();
    EXPECT_EQ(kivAsyncGet(server.Url("/text").c_str(), &OnAfterCleanup, 0), 1);
    EXPECT_TRUE(kivtest::PumpUntil([] { return lateCallbacks == 1; }, 10000));
}

// ---- start-up and clean-up cycles ------------------------------------------

struct CycleLog {
    int cycle = 0;
    unsigned arrivedKinds = 0;  // bit per kind of request
    int foreign = 0;            // from another cycle
    int wrong = 0;
};
CycleLog cycleLog;

void KIV_CALL OnCycle(kivHttpResponse* response, int userData) {
    if (userData / 100 != cycleLog.cycle) ++cycleLog.foreign;
    const int kind = userData % 100;
    cycleLog.arrivedKinds |= 1u << kind;
    const int code = kivGetHttpCode(response);
    if ((kind == 0 && (code != 200 || BodyOf(response) != "hello, kivHttp")) ||
        (kind == 1 && BodyOf(response) != "POST\n3\nabc") || (kind >= 2 && code != 200)) {
        ++cycleLog.wrong;
    }
    kivFreeHttp(response);
}

TEST_F(StressTest, HundredStartupCleanupCyclesWithTrafficInEach) {
    const int cycles = Scaled(100, 10);
    cycleLog = CycleLog{};
    kivtest::Stopwatch clock;
    for (int c = 1; c <= cycles; ++c) {
        cycleLog.cycle = c;
        cycleLog.arrivedKinds = 0;
        const std::string tag = "cycle " + std::to_string(c);
        const std::string big = dir.Path("c" + std::to_string(c));
        kivHttpStartup();
        ASSERT_EQ(kivAsyncGet(server.Url("/text").c_str(), &OnCycle, c * 100 + 0), 1) << tag;
        ASSERT_EQ(kivAsyncPost(server.Url("/echo").c_str(), "abc", 3, &OnCycle, c * 100 + 1), 2);
        const int slow = kivAsyncGet(server.Url("/slow?ms=10&chunks=10").c_str(), &OnCycle, c * 100 + 2);
        ASSERT_EQ(kivAsyncDownload(server.Url("/big?bytes=50000").c_str(), big.c_str(), &OnCycle,
                                   c * 100 + 3),
                  1);
        kivAsyncDownload(server.Url("/slow?ms=20&chunks=50").c_str(),
                         dir.Path("s" + std::to_string(c)).c_str(), &OnCycle, c * 100 + 4);
        // The quick ones come back; the slow GET is running or queued and
        // the slow download running when clean-up comes, the GET cancelled
        // first in every other cycle.
        EXPECT_TRUE(kivtest::PumpUntil([] { return (cycleLog.arrivedKinds & 0xBu) == 0xBu; }, 10000))
            << tag;
        if (c % 2 == 0) kivAsyncCancel(slow);
        if (c % 10 == 0) kivHttpStartup();  // a second start-up changes nothing
        kivHttpCleanup();
        if (c % 10 == 5) kivHttpCleanup();  // nor does a second clean-up
        EXPECT_EQ(kivtest::ReadFile(big), kivtest::PatternBytes(50000)) << tag;
    }
    kivtest::PumpFor(100);
    std::cout << "[ stress   ] " << cycles << " cycles in " << clock.Seconds() << " s" << std::endl;
    EXPECT_EQ(cycleLog.foreign, 0) << "callbacks delivered into a later cycle";
    EXPECT_EQ(cycleLog.wrong, 0);
}

// ---- blocking calls from eight threads ------------------------------------

std::atomic<int> asyncArrived{0};
void KIV_CALL OnBackground(kivHttpResponse* response, int) {
    ++asyncArrived;
    kivFreeHttp(response);
}

struct EchoCapture {
    std::string body;
    bool done = false;
};
EchoCapture asyncEcho;
void KIV_CALL OnAsyncEcho(kivHttpResponse* response, int) {
    asyncEcho.body = BodyOf(response);
    asyncEcho.done = true;
    kivFreeHttp(response);
}

TEST_F(StressTest, BlockingCallsFromEightThreadsShareCookiesAndDnsWithTheServices) {
    constexpr int kThreads = 8;
    const int rounds = Scaled(60, 4);
    asyncArrived = 0;
    kivHttpStartup();
    // Through the name, so that look-ups go through the shared DNS cache;
    // cookies are kept per host name, so every call uses it.
    const std::string base = "http://localhost:" + std::to_string(server.Port());

    std::atomic<int> failures{0};
    std::atomic<int> threadsDone{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(seed + 1000u * static_cast<std::uint32_t>(t));
            const std::string cookie = "t" + std::to_string(t);
            kivtest::Response minted(kivSyncGet((base + "/cookie/mint?name=" + cookie).c_str()));
            if (kivGetHttpCode(minted.get()) != 200) ++failures;
            for (int n = 0; n < rounds; ++n) {
                const int index = 100000 + t * 1000 + n;
                const std::size_t size = std::uniform_int_distribution<std::size_t>(1, 40000)(rng);
                const std::string q = "/chaos?i=" + std::to_string(index) + "&size=" + std::to_string(size);
                switch (n % 4) {
                case 0: {
                    kivtest::Response r(kivSyncGet((base + q).c_str()));
                    if (BodyOf(r.get()) != ChaosBody(index, size)) ++failures;
                    break;
                }
                case 1: {
                    const std::string data(size % 8000, static_cast<char>('a' + t));
                    kivtest::Response r(kivSyncPost(
                        (base + "/chaos-post?i=" + std::to_string(index)).c_str(), data.data(),
                        static_cast<int>(data.size())));
                    if (BodyOf(r.get()) != std::to_string(index) + ":" + data) ++failures;
                    break;
                }
                case 2: {
                    const std::string path = dir.Path("sync" + std::to_string(index));
                    kivtest::Response r(kivSyncDownload((base + q).c_str(), path.c_str()));
                    if (kivGetHttpCode(r.get()) != 200 ||
                        kivtest::ReadFile(path) != ChaosBody(index, size)) {
                        ++failures;
                    }
                    break;
                }
                default: {
                    kivtest::Response r(kivSyncGet((base + "/cookie/echo").c_str()));
                    const std::string echo = BodyOf(r.get());
                    if (echo.find(cookie + "=1") == std::string::npos) ++failures;
                    break;
                }
                }
            }
            ++threadsDone;
        });
    }
    // Meanwhile the services carry traffic of their own to the same host.
    int issued = 0;
    kivtest::Stopwatch clock;
    while (threadsDone.load() < kThreads && clock.Seconds() < 150) {
        if (issued - asyncArrived.load() < 4) {
            const std::string url = base + "/chaos?i=" + std::to_string(issued) + "&size=3000";
            if (issued % 5 == 4) {
                kivAsyncDownload(url.c_str(), dir.Path("bg" + std::to_string(issued)).c_str(),
                                 &OnBackground, issued);
            } else {
                kivAsyncGet(url.c_str(), &OnBackground, issued);
            }
            ++issued;
        }
        kivtest::PumpFor(2);
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(kivtest::PumpUntil([&] { return asyncArrived.load() == issued; }, 30000));
    EXPECT_EQ(failures.load(), 0);

    // Every cookie minted by any thread is sent by blocking calls and by
    // the queued requests alike.
    kivtest::Response echo(kivSyncGet((base + "/cookie/echo").c_str()));
    asyncEcho = EchoCapture{};
    kivAsyncGet((base + "/cookie/echo").c_str(), &OnAsyncEcho, 0);
    ASSERT_TRUE(kivtest::PumpUntil([] { return asyncEcho.done; }, 10000));
    for (int t = 0; t < kThreads; ++t) {
        const std::string cookie = "t" + std::to_string(t) + "=1";
        EXPECT_NE(BodyOf(echo.get()).find(cookie), std::string::npos) << BodyOf(echo.get());
        EXPECT_NE(asyncEcho.body.find(cookie), std::string::npos) << asyncEcho.body;
    }
    std::cout << "[ stress   ] " << kThreads << " x " << rounds << " blocking calls beside " << issued
              << " queued ones in " << clock.Seconds() << " s" << std::endl;
}

}  // namespace
