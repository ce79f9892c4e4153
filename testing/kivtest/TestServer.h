// An HTTP server inside the test process, for tests that need a real peer
// on the other side of libcurl without touching the network.
#ifndef KIVTEST_TEST_SERVER_H
#define KIVTEST_TEST_SERVER_H

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kivtest {

// `n` bytes of the body /big serves, starting `offset` bytes into it. The
// period (251) is prime so that a chunk delivered twice, lost or out of
// order never lines up with a buffer size and shows in a comparison.
std::string PatternBytes(std::size_t n, std::size_t offset = 0);

// Listens on 127.0.0.1 at a port the OS picks, from construction until
// destruction. Routes (query parameters in brackets):
//
//   /text                200 "hello, kivHttp", text/plain
//   /binary              200, the 256 bytes 0..255, application/octet-stream
//   /big [bytes=N]       200, PatternBytes(N), streamed
//   /redirect            302 to /text, with "X-Hop: 1"
//   /redirect-loop       302 to itself
//   /cookie/set          200 with "Set-Cookie: a=1", "set-cookie: b=2" and
//                        "SET-COOKIE: c=3" (spelled as written; the cookies'
//                        default path is /cookie) plus "X-Normal: yes"
//   /cookie/echo         200, body = the request's Cookie header or empty
//   /missing             404 with an HTML page
//   /echo                GET/POST/PUT: body = "METHOD\nLENGTH\n" + request
//                        body, LENGTH being the request's Content-Length
//                        header, or the body size when none was sent
//   /spaced-headers      200 with padded values and repeated names (httplib
//                        writes "Name: value" itself; use RawServer when the
//                        exact header bytes matter)
//   /slow [ms=T&chunks=K] chunked, K chunks of "x", each after a T ms pause;
//                        gives up when the client goes away
//   /drop                announces Content-Length 100000, sends 1000 bytes
//                        of PatternBytes, then closes the connection
//   /status [code=N]     status N, short text body
//
// Idle keep-alive connections are held for at most a second, which bounds
// how long destruction can wait for a client that keeps one open.
class TestServer {
public:
    // `extraRoutes` may add routes of its own before the server starts
    // (httplib's route tables must not change while it runs).
    explicit TestServer(const std::function<void(httplib::Server&)>& extraRoutes = {});
    ~TestServer();

    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const { return port_; }

    // "http://127.0.0.1:PORT/path"; `path` may include a query string.
    std::string Url(const std::string& path) const;

    // Requests received for `path` (without query), counted once the request
    // has been read and before its handler runs.
    int Hits(const std::string& path) const;
    int TotalHits() const;

private:
    // Sleeps `ms`, returning false early when the server is being torn down.
    bool Pause(int ms);

    httplib::Server server_;
    std::thread thread_;
    int port_ = -1;
    std::atomic<bool> listenReturned_{false};

    mutable std::mutex mutex_;
    std::condition_variable stopCv_;
    bool stopping_ = false;
    std::map<std::string, int> hits_;
};

}  // namespace kivtest

#endif
