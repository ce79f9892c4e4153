// kivtest::TestServer for the Windows tests, which run under Wine: the
// interface and the routes of testing/kivtest/TestServer.h, without
// extraRoutes. The server itself runs natively on this machine in
// kivtest-server (testing/server); this object is its connection to it.
#ifndef KIVTEST_TEST_SERVER_H
#define KIVTEST_TEST_SERVER_H

#include <cstddef>
#include <memory>
#include <string>

namespace kivtest {

class BrokerLink;

// `n` bytes of the body /big serves, starting `offset` bytes into it.
std::string PatternBytes(std::size_t n, std::size_t offset = 0);

// Listens on 127.0.0.1 from construction until destruction; throws when
// kivtest-server cannot be reached.
class TestServer {
   public:
    TestServer();
    ~TestServer();

    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const;

    // "http://127.0.0.1:PORT/path"; `path` may include a query string.
    std::string Url(const std::string& path) const;

    // Requests received for `path` (without query), counted once the request
    // has been read and before its handler runs.
    int Hits(const std::string& path) const;
    int TotalHits() const;

   private:
    std::unique_ptr<BrokerLink> link_;
};

}  // namespace kivtest

#endif
