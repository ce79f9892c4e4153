#include "kivtest/TestServer.h"

#include "Broker.h"

namespace kivtest {

// The same bytes as the native server's /big (testing/kivtest/TestServer.cpp).
std::string PatternBytes(std::size_t n, std::size_t offset) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((offset + i) % 251);
    return bytes;
}

TestServer::TestServer() : link_(std::make_unique<BrokerLink>("http\n")) {}
TestServer::~TestServer() = default;

int TestServer::Port() const { return link_->Port(); }
std::string TestServer::Url(const std::string& path) const { return LoopbackUrl(Port(), path); }
int TestServer::Hits(const std::string& path) const { return link_->AskNumber("hits " + path); }
int TestServer::TotalHits() const { return link_->AskNumber("total"); }

}  // namespace kivtest
