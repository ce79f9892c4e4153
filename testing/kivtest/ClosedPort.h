// A loopback port that refuses every connection for as long as the object
// lives. RefusedUrl() releases its port at once, so on a busy machine another
// process may take it; this one stays bound (never listening), so nobody can.
#ifndef KIVTEST_CLOSED_PORT_H
#define KIVTEST_CLOSED_PORT_H

#ifndef _WIN32

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace kivtest {

class ClosedPort {
public:
    ClosedPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            if (fd_ >= 0) ::close(fd_);
            throw std::runtime_error("kivtest::ClosedPort: cannot bind 127.0.0.1");
        }
        port_ = ntohs(addr.sin_port);
    }
    ~ClosedPort() { ::close(fd_); }

    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    int Port() const { return port_; }

    std::string Url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) +
               (path.empty() || path[0] != '/' ? "/" : "") + path;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace kivtest

#endif  // !_WIN32

#endif
