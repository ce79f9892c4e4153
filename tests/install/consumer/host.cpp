// A host built against the installed package: blocking calls, and one
// queued GET whose callback arrives through the main thread's loop.
#include <chrono>
#include <cstdio>

#include "kivHttp.h"
#ifndef _WIN32
#include <poll.h>

#include "kivMsgLoop.h"
#endif

namespace {

int failures = 0;
int calls = 0;
int lastCode = -1;
int lastUserData = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "consumer host: FAILED: %s\n", what);
        ++failures;
    }
}

void KIV_CALL OnDone(kivHttpResponse* response, int userData) {
    ++calls;
    lastCode = kivGetHttpCode(response);
    lastUserData = userData;
    kivFreeHttp(response);
}

// Nothing listens on port 1: the connection is refused at once.
const char kRefused[] = "http://127.0.0.1:1/";

}  // namespace

int main() {
    Check(kivSyncGet(nullptr) == nullptr, "kivSyncGet(null) is null");
    kivHttpResponse* response = kivSyncGet(kRefused);
    Check(response != nullptr, "kivSyncGet of a refused URL gives a response");
    Check(kivGetHttpCode(response) == 0, "... whose status is 0");
    kivFreeHttp(response);
    Check(kivAsyncGet(kRefused, OnDone, 1) == 0, "kivAsyncGet before start-up gives 0");

    kivHttpStartup();
    Check(kivAsyncGet(kRefused, OnDone, 42) != 0, "kivAsyncGet after start-up gives an id");
#ifndef _WIN32
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (calls == 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{kmsgQueueDescriptor(), POLLIN, 0};
        ::poll(&fd, 1, 100);
        kmsgMessage msg;
        while (kmsgPeekMessage(&msg, KMSG_REMOVE)) {
        }
    }
    Check(calls == 1, "the callback ran once, inside the loop");
    Check(lastCode == 0 && lastUserData == 42, "... with status 0 and the user data");
#endif
    kivHttpCleanup();

    if (failures != 0) return 1;
    std::puts("consumer host: ok");
    return 0;
}
