// The Windows tests' side of kivtest-server (testing/server/Protocol.md):
// one connection per test server, over Winsock.
#ifndef KIVTEST_WIN32_BROKER_H
#define KIVTEST_WIN32_BROKER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivtest {

class BrokerLink {
   public:
    // Connects and sends `request` (its first line and any payload); throws
    // unless kivtest-server answers with the new server's port.
    explicit BrokerLink(const std::string& request);
    // Ends the server and waits until it is gone.
    ~BrokerLink();

    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    int Port() const { return port_; }

    // Sends one query line; returns the answer's first line.
    std::string Ask(const std::string& query);
    int AskNumber(const std::string& query);
    // The rest of a multi-part answer: a line holding a number, raw bytes.
    int ReadNumber();
    std::string ReadBytes(std::size_t n);

   private:
    void Send(const std::string& bytes);
    std::string ReadLine();
    int Number(const std::string& answer, const std::string& query);

    std::uintptr_t socket_;
    int port_ = -1;
    std::string buffer_;
};

// "http://127.0.0.1:PORT/path".
std::string LoopbackUrl(int port, const std::string& path);

}  // namespace kivtest

#endif
