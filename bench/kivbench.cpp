// kivbench: kivHttp measured beside raw libcurl, the curl command-line tool
// and cpp-httplib, against a local nginx that scripts/bench.sh starts.
//
// Every comparison runs its contenders in alternation within one run (the
// order rotates from round to round, after one unrecorded warm-up round) and
// reports medians over the rounds; a ratio is the median of the rounds' own
// ratios. Peak memory is measured in child processes (this program
// re-executed with --child), so that one measurement's heap never lifts
// another's high-water mark.
//
// The table goes to standard output as Markdown; progress, with each
// contender's spread and CPU time, to standard error. Exits 1 when a check
// failed (a wrong status or size, a cancelled transfer that called back).
//
//   kivbench --port P --dir SCRATCH [--n N] [--rounds R] [--big-rounds R]
//            [--latency-samples S] [--cancel-rounds R] [--idle-seconds S]
//            [--scale-count C] [--scale-rounds R] [--only 1,2,P,...]
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kivHttp.h"
#include "kivMsgLoop.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr long kSmallSize = 1024;
constexpr long kPostSize = 64 * 1024;
constexpr long kMediumSize = 10L * 1024 * 1024;
constexpr long kLargeSize = 200L * 1024 * 1024;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double SecondsSince(std::int64_t startNs) { return (NowNs() - startNs) / 1e9; }

double Median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Nearest-rank percentile, p in (0, 100].
double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * v.size()));
    if (rank == 0) rank = 1;
    return v[rank - 1];
}

// ---- settings ---------------------------------------------------------------

struct Settings {
    int port = 0;
    std::string dir;
    int n = 500;           // requests per block for the 1 KiB measurements
    int rounds = 31;       // recorded rounds of the request-rate pairs
    int bigRounds = 7;     // recorded rounds of the 200 MiB measurements
    int latencySamples = 2000;
    int cancelRounds = 11;
    int idleSeconds = 10;
    int scaleCount = 200;
    int scaleRounds = 3;
    std::set<int> only;
};

Settings settings;

std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(settings.port) + path;
}
std::string Scratch(const std::string& name) { return settings.dir + "/" + name; }

bool Selected(int id) { return settings.only.empty() || settings.only.count(id) != 0; }

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Progress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// ---- the result table ---------------------------------------------------------

struct Row {
    std::string id;
    std::string what;
    std::string kiv;
    std::string peer;
    std::string ratio;
    std::string goal;
    std::string met;
};

std::vector<Row> rows;
int failures = 0;

std::string Fixed(double value, int decimals) {
    if (std::isnan(value)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Verdict(bool met) { return met ? "yes" : "**no**"; }

void Fail(const std::string& what) {
    ++failures;
    Progress("FAILED: %s", what.c_str());
}

// The median over rounds of a's figure divided by b's from the same round:
// a load that drifts over the run (the machine is shared) moves both
// figures of a round together, and the ratio of each pair cancels it.
double PairedRatio(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) ratios.push_back(a[i] / b[i]);
    return Median(ratios);
}

double ProcessCpuSeconds();

// CPU seconds (user and system, this process and its reaped children) that
// each contender of the last Alternate used per round: on a busy machine a
// steadier figure than wall time.
std::vector<std::vector<double>> lastCpu;

// Runs every contender once per round, one unrecorded warm-up round first.
// Round r starts with contender r mod k, so each one leads equally often
// and none always runs on the heels of the same other.
std::vector<std::vector<double>> Alternate(int rounds,
                                           const std::vector<std::function<double()>>& contenders) {
    const std::size_t k = contenders.size();
    std::vector<std::vector<double>> figures(k);
    lastCpu.assign(k, {});
    for (int round = -1; round < rounds; ++round) {
        for (std::size_t step = 0; step < k; ++step) {
            const std::size_t which = (static_cast<std::size_t>(round + 1) + step) % k;
            const double cpuBefore = ProcessCpuSeconds();
            const double figure = contenders[which]();
            const double cpu = ProcessCpuSeconds() - cpuBefore;
            if (round >= 0) {
                figures[which].push_back(figure);
                lastCpu[which].push_back(cpu);
            }
        }
    }
    for (std::size_t which = 0; which < k; ++which) {
        const auto& f = figures[which];
        Progress("   contender %zu: median %.4g, min %.4g, max %.4g over %zu rounds; CPU %.4g s",
                 which, Median(f), *std::min_element(f.begin(), f.end()),
                 *std::max_element(f.begin(), f.end()), f.size(), Median(lastCpu[which]));
    }
    return figures;
}

// Median CPU microseconds per request of contender `which` of the last
// Alternate, whose blocks had `requests` requests each.
double CpuMicrosPerRequest(std::size_t which, int requests) {
    return Median(lastCpu[which]) * 1e6 / requests;
}

// ---- the message loop ---------------------------------------------------------

// Runs the start-up thread's loop, where the callbacks run, until `done`.
// A phase that hangs is ended by the alarm each phase sets.
template <typename Done>
void Pump(Done done) {
    kmsgMessage msg;
    while (!done()) {
        if (kmsgGetMessage(&msg) <= 0) return;
    }
}

void Deadline(unsigned seconds) { alarm(seconds); }

// ---- delivery stamps ----------------------------------------------------------

// This definition stands in front of the message library's own (the dynamic
// linker looks in the executable first), so it sees the library's workers
// post their completions; it stamps the time of each post while asked to
// and forwards the post unchanged.
std::atomic<bool> stampPosts{false};
std::atomic<std::int64_t> lastPostNs{0};
std::atomic<int> stampedPosts{0};

}  // namespace

extern "C" __attribute__((visibility("default"))) int kmsgPostThreadMessage(
    uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    using Post = int (*)(uint32_t, uint32_t, uintptr_t, intptr_t);
    static const Post real = reinterpret_cast<Post>(dlsym(RTLD_NEXT, "kmsgPostThreadMessage"));
    if (stampPosts.load(std::memory_order_relaxed)) {
        lastPostNs.store(NowNs(), std::memory_order_release);
        stampedPosts.fetch_add(1, std::memory_order_relaxed);
    }
    return real != nullptr ? real(threadId, message, wParam, lParam) : 0;
}

namespace {

// ---- raw libcurl with the library's options -------------------------------------

// The same share handle set-up as the library's (DNS, cookies, TLS
// sessions, one mutex per kind) and the same options on every easy handle.
std::mutex rawShareLocks[CURL_LOCK_DATA_LAST];
CURLSH* rawShare = nullptr;

void RawLock(CURL*, curl_lock_data data, curl_lock_access, void*) { rawShareLocks[data].lock(); }
void RawUnlock(CURL*, curl_lock_data data, void*) { rawShareLocks[data].unlock(); }

void RawStartup() {
    rawShare = curl_share_init();
    curl_share_setopt(rawShare, CURLSHOPT_LOCKFUNC, &RawLock);
    curl_share_setopt(rawShare, CURLSHOPT_UNLOCKFUNC, &RawUnlock);
    curl_share_setopt(rawShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(rawShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(rawShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

std::size_t AppendTo(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::size_t WriteTo(char* data, std::size_t size, std::size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(file));
}

struct RawBuffers {
    std::string headers;
    std::string body;
};

CURL* RawEasy(const std::string& url, RawBuffers* buffers) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_SHARE, rawShare);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 15L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    if (buffers != nullptr) {
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &AppendTo);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &buffers->headers);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &AppendTo);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &buffers->body);
    }
    return easy;
}

long RawCode(CURL* easy) {
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

// ---- contenders of the request-rate pairs ----------------------------------------

// Each returns requests per second over a block of settings.n requests.

double KivBlockingGets(const std::string& url, long expect) {
    int bad = 0;
    const std::int64_t start = NowNs();
    for (int i = 0; i < settings.n; ++i) {
        kivHttpResponse* response = kivSyncGet(url.c_str());
        if (kivGetHttpCode(response) != 200 || kivGetHttpBodyLen(response) != expect) ++bad;
        kivFreeHttp(response);
    }
    const double seconds = SecondsSince(start);
    if (bad != 0) Fail("kivSyncGet: " + std::to_string(bad) + " bad responses");
    return settings.n / seconds;
}

double KivBlockingPosts(const std::string& url, const std::string& data) {
    int bad = 0;
    const std::int64_t start = NowNs();
    for (int i = 0; i < settings.n; ++i) {
        kivHttpResponse* response =
            kivSyncPost(url.c_str(), data.data(), static_cast<int>(data.size()));
        if (kivGetHttpCode(response) != 200 || kivGetHttpBodyLen(response) != 2) ++bad;
        kivFreeHttp(response);
    }
    const double seconds = SecondsSince(start);
    if (bad != 0) Fail("kivSyncPost: " + std::to_string(bad) + " bad responses");
    return settings.n / seconds;
}

struct QueueBlock {
    int done = 0;
    int bad = 0;
    long expect = 0;
};
QueueBlock queueBlock;

void KIV_CALL OnQueued(kivHttpResponse* response, int) {
    if (kivGetHttpCode(response) != 200 || kivGetHttpBodyLen(response) != queueBlock.expect) {
        ++queueBlock.bad;
    }
    kivFreeHttp(response);
    ++queueBlock.done;
}

// All N queued at once, then drained through the loop, as a host that
// fires off a burst of requests would.
double KivQueuedGets(const std::string& url, long expect) {
    queueBlock = QueueBlock{0, 0, expect};
    const std::int64_t start = NowNs();
    for (int i = 0; i < settings.n; ++i) {
        if (kivAsyncGet(url.c_str(), &OnQueued, i) == 0) Fail("kivAsyncGet refused");
    }
    Pump([] { return queueBlock.done >= settings.n; });
    const double seconds = SecondsSince(start);
    if (queueBlock.bad != 0) Fail("kivAsyncGet: " + std::to_string(queueBlock.bad) + " bad");
    return settings.n / seconds;
}

double RawFreshGets(const std::string& url, long expect) {
    int bad = 0;
    const std::int64_t start = NowNs();
    for (int i = 0; i < settings.n; ++i) {
        RawBuffers buffers;
        CURL* easy = RawEasy(url, &buffers);
        curl_easy_perform(easy);
        if (RawCode(easy) != 200 || static_cast<long>(buffers.body.size()) != expect) ++bad;
        curl_easy_cleanup(easy);
    }
    const double seconds = SecondsSince(start);
    if (bad != 0) Fail("raw fresh GET: " + std::to_string(bad) + " bad");
    return settings.n / seconds;
}

double RawFreshPosts(const std::string& url, const std::string& data) {
    int bad = 0;
    const std::int64_t start = NowNs();
    for (int i = 0; i < settings.n; ++i) {
        RawBuffers buffers;
        CURL* easy = RawEasy(url, &buffers);
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(data.size()));
        curl_easy_perform(easy);
        if (RawCode(easy) != 200 || buffers.body != "ok") ++bad;
        curl_easy_cleanup(easy);
    }
    const double seconds = SecondsSince(start);
    if (bad != 0) Fail("raw fresh POST: " + std::to_string(bad) + " bad");
    return settings.n / seconds;
}

// One easy handle for the whole block: libcurl keeps its connection alive.
double RawReusedGets(const std::string& url, long expect) {
    int bad = 0;
    RawBuffers buffers;
    const std::int64_t start = NowNs();
    CURL* easy = RawEasy(url, &buffers);
    for (int i = 0; i < settings.n; ++i) {
        buffers.headers.clear();
        buffers.body.clear();
        curl_easy_perform(easy);
        if (RawCode(easy) != 200 || static_cast<long>(buffers.body.size()) != expect) ++bad;
    }
    curl_easy_cleanup(easy);
    const double seconds = SecondsSince(start);
    if (bad != 0) Fail("raw reused GET: " + std::to_string(bad) + " bad");
    return settings.n / seconds;
}

double HttplibReusedGets(const std::string& path, long expect) {
    int bad = 0;
    const std::int64_t start = NowNs();
    httplib::Client client("127.0.0.1", settings.port);
    client.set_keep_alive(true);
    for (int i = 0; i < settings.n; ++i) {
        auto result = client.Get(path.c_str());
        if (!result || result->status != 200 || static_cast<long>(result->body.size()) != expect) {
            ++bad;
        }
    }
    const double seconds = SecondsSince(start);
    if (bad != 0) Fail("httplib reused GET: " + std::to_string(bad) + " bad");
    return settings.n / seconds;
}

// User and system time of this process and of its reaped children.
double ProcessCpuSeconds() {
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    rusage self, children;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) +
           seconds(children.ru_stime);
}

// ---- files -------------------------------------------------------------------------

long FileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

void Remove(const std::string& path) { unlink(path.c_str()); }

// ---- child processes ----------------------------------------------------------------

// Runs `args` (args[0] is looked up in PATH), returns its standard output.
std::string RunCapture(const std::vector<std::string>& args, int* status = nullptr) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string out;
    if (spawned == 0) {
        char chunk[4096];
        ssize_t got;
        while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0) out.append(chunk, got);
        int waitStatus = 0;
        waitpid(pid, &waitStatus, 0);
        if (status != nullptr) *status = waitStatus;
        if (!WIFEXITED(waitStatus) || WEXITSTATUS(waitStatus) != 0) {
            Fail(args[0] + " " + (args.size() > 2 ? args[2] : "") + " exited abnormally");
        }
    } else {
        Fail("cannot start " + args[0]);
    }
    close(pipeFds[0]);
    return out;
}

std::string SelfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "/proc/self/exe";
    path[n] = '\0';
    return path;
}

std::vector<std::string> ChildArgs(const std::vector<std::string>& extra) {
    std::vector<std::string> args{SelfPath(), "--child"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("--port");
    args.push_back(std::to_string(settings.port));
    args.push_back("--dir");
    args.push_back(settings.dir);
    return args;
}

// kB figures from /proc/self/status.
long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::atol(line.c_str() + length + 1);
        }
    }
    return -1;
}

// Brings the high-water mark down to what is resident now.
void ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

void RaiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// ---- 4: one large body in memory (child) ---------------------------------------------

struct LargeBody {
    long length = -1;
    int code = 0;
};
LargeBody largeBody;

void KIV_CALL OnLargeBody(kivHttpResponse* response, int) {
    largeBody.code = kivGetHttpCode(response);
    largeBody.length = kivGetHttpBodyLen(response);
    // Still holding the body: the peak is already reached.
    kivFreeHttp(response);
}

// Prints "<peak growth / body size> <seconds>".
int ChildMemoryGet(const std::string& how) {
    const std::string url = Url("/f/200m.bin");
    kivHttpStartup();
    RawStartup();
    // Everything loaded and initialised before the baseline.
    kivFreeHttp(kivSyncGet(Url("/f/1k.bin").c_str()));
    {
        RawBuffers warm;
        CURL* easy = RawEasy(Url("/f/1k.bin"), &warm);
        curl_easy_perform(easy);
        curl_easy_cleanup(easy);
    }
    ResetPeak();
    const long baseKb = StatusKb("VmRSS");
    long length = -1;
    int code = 0;
    long peakKb = 0;
    const std::int64_t start = NowNs();
    if (how == "sync") {
        kivHttpResponse* response = kivSyncGet(url.c_str());
        code = kivGetHttpCode(response);
        length = kivGetHttpBodyLen(response);
        peakKb = StatusKb("VmHWM");
        kivFreeHttp(response);
    } else if (how == "async") {
        kivAsyncGet(url.c_str(), &OnLargeBody, 0);
        Pump([] { return largeBody.length >= 0; });
        code = largeBody.code;
        length = largeBody.length;
        peakKb = StatusKb("VmHWM");
    } else {  // raw libcurl appending to a std::string
        RawBuffers buffers;
        CURL* easy = RawEasy(url, &buffers);
        curl_easy_perform(easy);
        code = static_cast<int>(RawCode(easy));
        length = static_cast<long>(buffers.body.size());
        peakKb = StatusKb("VmHWM");
        curl_easy_cleanup(easy);
    }
    const double seconds = SecondsSince(start);
    kivHttpCleanup();
    if (code != 200 || length != kLargeSize) {
        std::fprintf(stderr, "in-memory GET (%s): code %d, %ld bytes\n", how.c_str(), code, length);
        return 1;
    }
    std::printf("%.4f %.6f\n", (peakKb - baseKb) * 1024.0 / kLargeSize, seconds);
    return 0;
}

// ---- 8: many downloads side by side (child) -------------------------------------------

struct ScaleState {
    int done = 0;
    int ok = 0;
};
ScaleState scale;

void KIV_CALL OnScaleDownload(kivHttpResponse* response, int) {
    if (kivGetHttpCode(response) == 200) ++scale.ok;
    kivFreeHttp(response);
    ++scale.done;
}

// Prints "<MiB/s> <peak growth MiB> <complete count>".
int ChildScale(int count) {
    RaiseDescriptorLimit();
    kivHttpStartup();
    kivFreeHttp(kivSyncGet(Url("/f/1k.bin").c_str()));
    const std::string url = Url("/f/10m.bin");
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back(Scratch("scale-" + std::to_string(i) + ".bin"));
    ResetPeak();
    const long baseKb = StatusKb("VmRSS");
    const std::int64_t start = NowNs();
    int started = 0;
    for (int i = 0; i < count; ++i) {
        if (kivAsyncDownload(url.c_str(), paths[i].c_str(), &OnScaleDownload, i) != 0) ++started;
    }
    Pump([started] { return scale.done >= started; });
    const double seconds = SecondsSince(start);
    const long peakKb = StatusKb("VmHWM");
    kivHttpCleanup();
    int complete = 0;
    for (const std::string& path : paths) {
        if (FileSize(path) == kMediumSize) ++complete;
        Remove(path);
    }
    if (scale.ok < complete) complete = scale.ok;
    std::printf("%.3f %.3f %d\n", count * (kMediumSize / kMiB) / seconds,
                (peakKb - baseKb) / 1024.0, complete);
    return 0;
}

// ---- the measurements -------------------------------------------------------------------

void MeasureBlockingGet() {
    Progress("1: kivSyncGet 1 KiB vs raw libcurl, fresh handle per request");
    Deadline(300);
    const std::string url = Url("/f/1k.bin");
    auto figures = Alternate(settings.rounds, {[&] { return KivBlockingGets(url, kSmallSize); },
                                               [&] { return RawFreshGets(url, kSmallSize); }});
    const double kiv = Median(figures[0]);
    const double raw = Median(figures[1]);
    const double ratio = PairedRatio(figures[0], figures[1]);
    rows.push_back({"1", "kivSyncGet 1 KiB, N in a row (req/s) vs raw libcurl, fresh easy handle",
                    Fixed(kiv, 0), Fixed(raw, 0), Fixed(ratio, 3), ">= 0.97",
                    Verdict(ratio >= 0.97)});
    rows.push_back({"1c", "the same: client CPU per request (us), kivSyncGet vs raw libcurl",
                    Fixed(CpuMicrosPerRequest(0, settings.n), 1),
                    Fixed(CpuMicrosPerRequest(1, settings.n), 1), "-", "(none)", "-"});
}

void MeasureBlockingPost() {
    Progress("P: kivSyncPost 64 KiB vs raw libcurl, fresh handle per request");
    Deadline(300);
    const std::string url = Url("/post");
    const std::string data(kPostSize, 'p');
    auto figures = Alternate(settings.rounds, {[&] { return KivBlockingPosts(url, data); },
                                               [&] { return RawFreshPosts(url, data); }});
    const double kiv = Median(figures[0]);
    const double raw = Median(figures[1]);
    rows.push_back({"P", "kivSyncPost 64 KiB (req/s) vs raw libcurl, fresh easy handle",
                    Fixed(kiv, 0), Fixed(raw, 0), Fixed(PairedRatio(figures[0], figures[1]), 3),
                    "(none)", "-"});
}

void MeasureQueue() {
    Progress("2: N kivAsyncGet through the loop vs N kivSyncGet");
    Deadline(300);
    const std::string url = Url("/f/1k.bin");
    auto figures = Alternate(settings.rounds, {[&] { return KivQueuedGets(url, kSmallSize); },
                                               [&] { return KivBlockingGets(url, kSmallSize); }});
    const double queued = Median(figures[0]);
    const double blocking = Median(figures[1]);
    const double ratio = PairedRatio(figures[0], figures[1]);
    rows.push_back({"2", "N kivAsyncGet 1 KiB drained through the loop (req/s) vs N kivSyncGet",
                    Fixed(queued, 0), Fixed(blocking, 0), Fixed(ratio, 3), ">= 0.95",
                    Verdict(ratio >= 0.95)});
}

// Download contenders: each returns MiB/s and checks the file.
double CheckedRate(const std::string& who, const std::string& path, double seconds, int code) {
    const long size = FileSize(path);
    Remove(path);
    if (code != 200 || size != kLargeSize) {
        Fail(who + ": code " + std::to_string(code) + ", " + std::to_string(size) + " bytes");
    }
    return kLargeSize / kMiB / seconds;
}

struct DownloadState {
    bool done = false;
    int code = 0;
};
DownloadState downloadState;

void KIV_CALL OnDownload(kivHttpResponse* response, int) {
    downloadState.code = kivGetHttpCode(response);
    kivFreeHttp(response);
    downloadState.done = true;
}

double KivSyncDownloadRate(const std::string& url) {
    const std::string path = Scratch("dl-sync.bin");
    Remove(path);
    const std::int64_t start = NowNs();
    kivHttpResponse* response = kivSyncDownload(url.c_str(), path.c_str());
    const double seconds = SecondsSince(start);
    const int code = kivGetHttpCode(response);
    kivFreeHttp(response);
    return CheckedRate("kivSyncDownload", path, seconds, code);
}

double KivAsyncDownloadRate(const std::string& url) {
    const std::string path = Scratch("dl-async.bin");
    Remove(path);
    downloadState = DownloadState{};
    const std::int64_t start = NowNs();
    kivAsyncDownload(url.c_str(), path.c_str(), &OnDownload, 0);
    Pump([] { return downloadState.done; });
    const double seconds = SecondsSince(start);
    return CheckedRate("kivAsyncDownload", path, seconds, downloadState.code);
}

double RawDownloadRate(const std::string& url) {
    const std::string path = Scratch("dl-raw.bin");
    Remove(path);
    const std::int64_t start = NowNs();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    CURL* easy = RawEasy(url, nullptr);
    std::string headers;
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &AppendTo);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &WriteTo);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, file);
    curl_easy_perform(easy);
    const int code = static_cast<int>(RawCode(easy));
    curl_easy_cleanup(easy);
    std::fclose(file);
    const double seconds = SecondsSince(start);
    return CheckedRate("raw libcurl download", path, seconds, code);
}

// The tool's own measure of the transfer (-w %{time_total}), which leaves
// out its process start-up: the stricter comparison for the library.
double ToolDownloadRate(const std::string& url) {
    const std::string path = Scratch("dl-tool.bin");
    Remove(path);
    const std::string out =
        RunCapture({"curl", "-s", "-o", path, "-w", "%{http_code} %{time_total}", url});
    int code = 0;
    double seconds = NAN;
    std::istringstream(out) >> code >> seconds;
    return CheckedRate("curl tool", path, seconds, code);
}

void MeasureDownloads() {
    Progress("3: 200 MiB downloads: kivSyncDownload, kivAsyncDownload, raw libcurl, curl tool");
    Deadline(600);
    const std::string url = Url("/f/200m.bin");
    auto figures = Alternate(settings.bigRounds, {[&] { return KivSyncDownloadRate(url); },
                                                  [&] { return KivAsyncDownloadRate(url); },
                                                  [&] { return RawDownloadRate(url); },
                                                  [&] { return ToolDownloadRate(url); }});
    const std::vector<std::vector<double>> cpu = lastCpu;
    const double sync = Median(figures[0]);
    const double async = Median(figures[1]);
    const double raw = Median(figures[2]);
    const double tool = Median(figures[3]);
    const double syncTool = PairedRatio(figures[0], figures[3]);
    const double asyncTool = PairedRatio(figures[1], figures[3]);
    rows.push_back({"3a", "kivSyncDownload 200 MiB (MiB/s) vs curl tool", Fixed(sync, 0),
                    Fixed(tool, 0), Fixed(syncTool, 3), ">= 1.0", Verdict(syncTool >= 1.0)});
    rows.push_back({"3b", "kivAsyncDownload 200 MiB (MiB/s) vs curl tool", Fixed(async, 0),
                    Fixed(tool, 0), Fixed(asyncTool, 3), ">= 1.0", Verdict(asyncTool >= 1.0)});
    rows.push_back({"3c", "kivSyncDownload 200 MiB (MiB/s) vs raw libcurl + fwrite (defaults)",
                    Fixed(sync, 0), Fixed(raw, 0), Fixed(PairedRatio(figures[0], figures[2]), 3),
                    "(none)", "-"});
    rows.push_back({"3d",
                    "CPU seconds per 200 MiB, client side: kivSyncDownload / kivAsyncDownload vs "
                    "raw libcurl / curl tool",
                    Fixed(Median(cpu[0]), 3) + " / " + Fixed(Median(cpu[1]), 3),
                    Fixed(Median(cpu[2]), 3) + " / " + Fixed(Median(cpu[3]), 3), "-", "(none)",
                    "-"});
}

void MeasureMemory() {
    Progress("4: peak memory of a 200 MiB in-memory GET (child processes)");
    Deadline(600);
    std::vector<std::vector<double>> seconds(3);
    auto child = [&](const std::string& how, int index) {
        const std::string out = RunCapture(ChildArgs({"memory", how}));
        double multiple = NAN;
        double time = NAN;
        std::istringstream(out) >> multiple >> time;
        seconds[index].push_back(time);
        return multiple;
    };
    // Seconds are collected beside the multiples; the warm-up round's
    // time is dropped below along with its multiple.
    auto figures = Alternate(settings.bigRounds, {[&] { return child("sync", 0); },
                                                  [&] { return child("async", 1); },
                                                  [&] { return child("raw", 2); }});
    for (auto& s : seconds) s.erase(s.begin());
    std::vector<std::vector<double>> rates(3);
    for (int i = 0; i < 3; ++i) {
        for (double t : seconds[i]) rates[i].push_back(kLargeSize / kMiB / t);
    }
    const double sync = Median(figures[0]);
    const double async = Median(figures[1]);
    const double raw = Median(figures[2]);
    const double rateSync = kLargeSize / kMiB / Median(seconds[0]);
    const double rateAsync = kLargeSize / kMiB / Median(seconds[1]);
    const double rateRaw = kLargeSize / kMiB / Median(seconds[2]);
    rows.push_back({"4a",
                    "kivSyncGet 200 MiB in memory: peak RSS growth / body size, vs raw libcurl "
                    "appending to a std::string",
                    Fixed(sync, 3), Fixed(raw, 3), "-", "<= 1.10", Verdict(sync <= 1.10)});
    rows.push_back({"4b", "kivAsyncGet 200 MiB in memory: peak RSS growth / body size",
                    Fixed(async, 3), Fixed(raw, 3), "-", "<= 1.10", Verdict(async <= 1.10)});
    rows.push_back({"4c", "the same GETs: MiB/s (kivSyncGet / kivAsyncGet vs raw appending)",
                    Fixed(rateSync, 0) + " / " + Fixed(rateAsync, 0), Fixed(rateRaw, 0),
                    Fixed(PairedRatio(rates[0], rates[2]), 3), "(none)", "-"});
}

struct LatencyState {
    bool done = false;
    std::int64_t callbackNs = 0;
};
LatencyState latency;

void KIV_CALL OnLatency(kivHttpResponse* response, int) {
    latency.callbackNs = NowNs();
    kivFreeHttp(response);
    latency.done = true;
}

void MeasureDelivery() {
    Progress("5: delivery latency, worker's post -> callback on the start-up thread");
    Deadline(300);
    const std::string url = Url("/f/1k.bin");
    std::vector<double> micros;
    stampedPosts.store(0);
    stampPosts.store(true);
    for (int i = 0; i < settings.latencySamples; ++i) {
        latency = LatencyState{};
        lastPostNs.store(0);
        kivAsyncGet(url.c_str(), &OnLatency, i);
        // The start-up thread waits inside kmsgGetMessage, as a host does.
        Pump([] { return latency.done; });
        const std::int64_t posted = lastPostNs.load(std::memory_order_acquire);
        if (posted != 0) micros.push_back((latency.callbackNs - posted) / 1e3);
    }
    stampPosts.store(false);
    if (micros.empty()) {
        Fail("delivery latency: the library's posts were not seen");
        rows.push_back({"5", "delivery latency", "n/a", "-", "-", "(report)", "-"});
        return;
    }
    rows.push_back({"5",
                    "delivery latency, worker's post -> callback, loop blocked in kmsgGetMessage "
                    "(us): median / p99",
                    Fixed(Median(micros), 1) + " / " + Fixed(Percentile(micros, 99), 1), "-", "-",
                    "(report)", "-"});
}

struct CancelState {
    int cancelledCallbacks = 0;
    bool nextDone = false;
    std::int64_t nextNs = 0;
};
CancelState cancelState;

void KIV_CALL OnCancelledGet(kivHttpResponse* response, int) {
    ++cancelState.cancelledCallbacks;
    kivFreeHttp(response);
}

void KIV_CALL OnNextGet(kivHttpResponse* response, int) {
    cancelState.nextNs = NowNs();
    kivFreeHttp(response);
    cancelState.nextDone = true;
}

void MeasureCancellation() {
    Progress("6: cancellation of a running GET and of a running download");
    Deadline(300);
    const std::string slow = Url("/slow/200m.bin");
    const std::string next = Url("/f/1k.bin");
    std::vector<double> getMs;
    std::vector<double> downloadMs;
    cancelState = CancelState{};
    for (int i = 0; i < settings.cancelRounds; ++i) {
        // A GET of a body that takes minutes at the limited rate, and a small
        // one waiting behind it.
        const int running = kivAsyncGet(slow.c_str(), &OnCancelledGet, i);
        cancelState.nextDone = false;
        kivAsyncGet(next.c_str(), &OnNextGet, i);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::int64_t start = NowNs();
        kivAsyncCancel(running);
        Pump([] { return cancelState.nextDone; });
        getMs.push_back((cancelState.nextNs - start) / 1e6);

        const std::string path = Scratch("slow.bin");
        const int download = kivAsyncDownload(slow.c_str(), path.c_str(), &OnCancelledGet, i);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (FileSize(path) <= 0) Fail("slow download had not started");
        const std::int64_t cancelStart = NowNs();
        kivAsyncCancelDownload(download);
        downloadMs.push_back((NowNs() - cancelStart) / 1e6);
        Remove(path);
    }
    // Nothing cancelled may call back; give a stray completion time to show.
    const std::int64_t until = NowNs() + 300'000'000;
    kmsgMessage msg;
    while (NowNs() < until) {
        while (kmsgPeekMessage(&msg, KMSG_REMOVE)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (cancelState.cancelledCallbacks != 0) Fail("a cancelled transfer called back");
    const double getMedian = Median(getMs);
    const double downloadMedian = Median(downloadMs);
    rows.push_back({"6a",
                    "kivAsyncCancel of a running GET -> next queued request's callback (ms): "
                    "median / max",
                    Fixed(getMedian, 2) + " / " + Fixed(*std::max_element(getMs.begin(), getMs.end()), 2),
                    "-", "-", "< 50 median", Verdict(getMedian < 50)});
    rows.push_back({"6b", "kivAsyncCancelDownload of a running download, time blocked (ms): median / max",
                    Fixed(downloadMedian, 2) + " / " +
                        Fixed(*std::max_element(downloadMs.begin(), downloadMs.end()), 2),
                    "-", "-", "< 50 median", Verdict(downloadMedian < 50)});
}

constexpr std::uint32_t kIdleEndMessage = 0x8001;

void MeasureIdle() {
    Progress("7: CPU of the started, idle library over %d s", settings.idleSeconds);
    Deadline(settings.idleSeconds + 120);
    // Both services have worked before the idle span starts.
    kivFreeHttp(kivSyncGet(Url("/f/1k.bin").c_str()));
    queueBlock = QueueBlock{0, 0, kSmallSize};
    kivAsyncGet(Url("/f/1k.bin").c_str(), &OnQueued, 0);
    Pump([] { return queueBlock.done >= 1; });
    downloadState = DownloadState{};
    const std::string path = Scratch("idle.bin");
    kivAsyncDownload(Url("/f/1k.bin").c_str(), path.c_str(), &OnDownload, 0);
    Pump([] { return downloadState.done; });
    Remove(path);

    const std::uint32_t self = kmsgCurrentThreadId();
    rusage before;
    getrusage(RUSAGE_SELF, &before);
    const std::int64_t start = NowNs();
    std::thread timer([self] {
        std::this_thread::sleep_for(std::chrono::seconds(settings.idleSeconds));
        kmsgPostThreadMessage(self, kIdleEndMessage, 0, 0);
    });
    // The host's loop, waiting for its own message.
    kmsgMessage msg;
    while (kmsgGetMessage(&msg) > 0 && msg.message != kIdleEndMessage) {
    }
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    const double wall = SecondsSince(start);
    timer.join();
    auto cpu = [](const rusage& u) {
        return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
               u.ru_stime.tv_usec / 1e6;
    };
    const double percent = (cpu(after) - cpu(before)) / wall * 100.0;
    rows.push_back({"7",
                    "idle library, CPU over " + std::to_string(settings.idleSeconds) +
                        " s (% of one core; context switches)",
                    Fixed(percent, 4) + " %; " +
                        std::to_string((after.ru_nvcsw - before.ru_nvcsw) +
                                       (after.ru_nivcsw - before.ru_nivcsw)),
                    "-", "-", "< 0.1 %", Verdict(percent < 0.1)});
}

void MeasureScale() {
    Progress("8: %d concurrent downloads of 10 MiB (child processes)", settings.scaleCount);
    Deadline(900);
    std::vector<double> rates, peaks;
    int worstComplete = settings.scaleCount;
    for (int i = 0; i < settings.scaleRounds; ++i) {
        const std::string out = RunCapture(ChildArgs({"scale", std::to_string(settings.scaleCount)}));
        double rate = NAN, peak = NAN;
        int complete = 0;
        std::istringstream(out) >> rate >> peak >> complete;
        rates.push_back(rate);
        peaks.push_back(peak);
        worstComplete = std::min(worstComplete, complete);
    }
    if (worstComplete != settings.scaleCount) Fail("not every concurrent download completed");
    rows.push_back({"8",
                    std::to_string(settings.scaleCount) +
                        " concurrent kivAsyncDownload of 10 MiB: total MiB/s; peak RSS growth MiB; "
                        "complete (worst run)",
                    Fixed(Median(rates), 0) + " MiB/s; " + Fixed(Median(peaks), 1) + " MiB; " +
                        std::to_string(worstComplete) + "/" + std::to_string(settings.scaleCount),
                    "-", "-", "all complete", Verdict(worstComplete == settings.scaleCount)});
}

void MeasureReuse() {
    Progress("9: N kivAsyncGet (reused connection) vs raw libcurl reused handle vs httplib");
    Deadline(300);
    const std::string url = Url("/f/1k.bin");
    auto figures = Alternate(settings.rounds, {[&] { return KivQueuedGets(url, kSmallSize); },
                                               [&] { return RawReusedGets(url, kSmallSize); },
                                               [&] { return HttplibReusedGets("/f/1k.bin", kSmallSize); }});
    const double queued = Median(figures[0]);
    const double raw = Median(figures[1]);
    const double httplibRate = Median(figures[2]);
    const double rawRatio = PairedRatio(figures[0], figures[1]);
    const double httplibRatio = PairedRatio(figures[0], figures[2]);
    rows.push_back({"9a", "N kivAsyncGet 1 KiB (req/s) vs raw libcurl, one reused handle",
                    Fixed(queued, 0), Fixed(raw, 0), Fixed(rawRatio, 3), ">= 0.90",
                    Verdict(rawRatio >= 0.90)});
    rows.push_back({"9b", "N kivAsyncGet 1 KiB (req/s) vs cpp-httplib Client, reused",
                    Fixed(queued, 0), Fixed(httplibRate, 0), Fixed(httplibRatio, 3),
                    "(peer to beat)", Verdict(httplibRatio >= 1.0)});
    rows.push_back({"9c",
                    "the same: client CPU per request (us), kivAsyncGet (both threads) vs raw "
                    "libcurl / cpp-httplib",
                    Fixed(CpuMicrosPerRequest(0, settings.n), 1),
                    Fixed(CpuMicrosPerRequest(1, settings.n), 1) + " / " +
                        Fixed(CpuMicrosPerRequest(2, settings.n), 1),
                    "-", "(none)", "-"});
}

void PrintTable() {
    std::printf("| # | measurement | kivHttp | peer | ratio | goal | met |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", row.id.c_str(), row.what.c_str(),
                    row.kiv.c_str(), row.peer.c_str(), row.ratio.c_str(), row.goal.c_str(),
                    row.met.c_str());
    }
    std::printf("\nN = %d requests per block; %d rounds (1 KiB pairs), %d rounds (200 MiB). "
                "Figures are medians over the rounds; a ratio is the median of the rounds' own "
                "ratios.\n",
                settings.n, settings.rounds, settings.bigRounds);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: kivbench --port P --dir SCRATCH [--n N] [--rounds R] [--big-rounds R]\n"
                 "                [--latency-samples S] [--cancel-rounds R] [--idle-seconds S]\n"
                 "                [--scale-count C] [--scale-rounds R] [--only 1,2,P,...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> child;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--port") settings.port = std::atoi(value().c_str());
        else if (arg == "--dir") settings.dir = value();
        else if (arg == "--n") settings.n = std::atoi(value().c_str());
        else if (arg == "--rounds") settings.rounds = std::atoi(value().c_str());
        else if (arg == "--big-rounds") settings.bigRounds = std::atoi(value().c_str());
        else if (arg == "--latency-samples") settings.latencySamples = std::atoi(value().c_str());
        else if (arg == "--cancel-rounds") settings.cancelRounds = std::atoi(value().c_str());
        else if (arg == "--idle-seconds") settings.idleSeconds = std::atoi(value().c_str());
        else if (arg == "--scale-count") settings.scaleCount = std::atoi(value().c_str());
        else if (arg == "--scale-rounds") settings.scaleRounds = std::atoi(value().c_str());
        else if (arg == "--only") {
            std::istringstream list(value());
            std::string item;
            while (std::getline(list, item, ',')) {
                settings.only.insert(item == "P" || item == "p" ? 0 : std::atoi(item.c_str()));
            }
        } else if (arg == "--child") {
            child.push_back(value());
            if (i + 1 < argc && argv[i + 1][0] != '-') child.push_back(argv[++i]);
        } else {
            return Usage();
        }
    }
    if (settings.port <= 0 || settings.dir.empty() || settings.n <= 0 || settings.rounds <= 0 ||
        settings.bigRounds <= 0) {
        return Usage();
    }
    signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    if (!child.empty()) {
        Deadline(600);
        if (child[0] == "memory" && child.size() == 2) return ChildMemoryGet(child[1]);
        if (child[0] == "scale" && child.size() == 2) return ChildScale(std::atoi(child[1].c_str()));
        return Usage();
    }

    kivHttpStartup();
    RawStartup();
    if (Selected(1)) MeasureBlockingGet();
    if (Selected(0)) MeasureBlockingPost();
    if (Selected(2)) MeasureQueue();
    if (Selected(9)) MeasureReuse();
    if (Selected(3)) MeasureDownloads();
    if (Selected(4)) MeasureMemory();
    if (Selected(5)) MeasureDelivery();
    if (Selected(6)) MeasureCancellation();
    if (Selected(7)) MeasureIdle();
    if (Selected(8)) MeasureScale();
    alarm(0);
    kivHttpCleanup();
    curl_share_cleanup(rawShare);

    PrintTable();
    if (failures != 0) {
        std::printf("\n%d check(s) failed during the run; see the log.\n", failures);
        return 1;
    }
    return 0;
}
