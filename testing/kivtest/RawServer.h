// A scripted TCP peer for what a real HTTP server will not do: never answer,
// never read, or answer with exactly the bytes a test wrote.
#ifndef KIVTEST_RAW_SERVER_H
#define KIVTEST_RAW_SERVER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivtest/RawBehaviours.h"

namespace kivtest {

class RawServer : public RawBehaviours {
public:
    explicit RawServer(Behaviour behaviour);
    ~RawServer();

    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& path) const;

    // Connections accepted so far.
    int Accepted() const { return accepted_; }

    // The request heads received so far (request line and header lines, up
    // to and including the blank line), as raw bytes. Empty for NeverRead.
    std::vector<std::string> Requests() const;

private:
    struct Connection;

    void Run();
    // Returns false when the connection is finished with.
    bool OnReadable(Connection& conn);
    bool WriteAll(int fd, const std::string& bytes);

    Behaviour behaviour_;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int port_ = -1;
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// "http://127.0.0.1:PORT/path" for a port nothing listens on: the OS hands
// out a free port, which is released again at once, so connecting is refused.
std::string RefusedUrl(const std::string& path = "/");

}  // namespace kivtest

#endif
