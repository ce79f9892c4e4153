// Small helpers for tests that drive kivHttp through its exports: an owning
// response handle, body extraction, stopwatches, and the load scale that
// lets the stress tests shrink under sanitizers and valgrind.
#ifndef KIVTEST_API_HELPERS_H
#define KIVTEST_API_HELPERS_H

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "kivHttp.h"

namespace kivtest {

struct ResponseDeleter {
    void operator()(kivHttpResponse* response) const { kivFreeHttp(response); }
};
using Response = std::unique_ptr<kivHttpResponse, ResponseDeleter>;

// The body as bytes; empty for a null response or a download's response.
inline std::string BodyOf(kivHttpResponse* response) {
    const char* body = kivGetHttpBody(response);
    if (body == nullptr) return std::string();
    return std::string(body, static_cast<std::size_t>(kivGetHttpBodyLen(response)));
}

// The header's value, or "<none>" so that comparisons print readably.
inline std::string HeaderOf(kivHttpResponse* response, const char* name) {
    const char* value = kivGetHttpHeader(response, name);
    return value != nullptr ? std::string(value) : std::string("<none>");
}

// How much of the full load a stress test applies: KIV_STRESS_SCALE when
// set (a positive number, e.g. 0.05 under valgrind, which runs one thread
// at a time), otherwise 1. The full load takes well under a minute in every
// build, ThreadSanitizer's included.
inline double StressScale() {
    if (const char* text = std::getenv("KIV_STRESS_SCALE")) {
        const double value = std::atof(text);
        if (value > 0) return value;
    }
    return 1.0;
}

// `full` scaled by StressScale(), never below `floor`.
inline int Scaled(int full, int floor = 1) {
    return std::max(floor, static_cast<int>(full * StressScale() + 0.5));
}

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    long long Milliseconds() const { return static_cast<long long>(Seconds() * 1000.0); }

private:
    std::chrono::steady_clock::time_point start_;
};

// Waits without retrieving messages, so that completions stay queued.
inline bool SleepUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace kivtest

#endif
