#include "kivtest/RawServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <stdexcept>

namespace kivtest {

struct RawServer::Connection {
    int fd = -1;
    std::string pending;       // bytes of a head not yet complete
    std::size_t bodyLeft = 0;  // body bytes of the last head still to skip
    bool finished = false;     // answered and shut for writing: only drain
};

namespace {

// Binds a TCP socket to 127.0.0.1 on a port the OS chooses.
int BindLoopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("kivtest: socket() failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("kivtest: cannot bind 127.0.0.1");
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

std::string LoopbackUrl(int port, const std::string& path) {
    std::string url = "http://127.0.0.1:" + std::to_string(port);
    if (path.empty() || path[0] != '/') {
        url += '/';
    }
    return url + path;
}

std::size_t ContentLength(const std::string& head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<std::size_t>(
        std::strtoull(head.c_str() + at + sizeof("\r\ncontent-length:") - 1, nullptr, 10));
}

}  // namespace

RawServer::RawServer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
    listenFd_ = BindLoopback(&port_);
    int pipeFds[2];
    if (::listen(listenFd_, 64) != 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("kivtest::RawServer: cannot listen");
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    thread_ = std::thread([this] { Run(); });
}

RawServer::~RawServer() {
    char byte = 0;
    while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    ::close(listenFd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

std::string RawServer::Url(const std::string& path) const { return LoopbackUrl(port_, path); }

std::vector<std::string> RawServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void RawServer::Run() {
    // Connections live only on this thread; std::list keeps references
    // stable while entries are erased.
    std::list<Connection> conns;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wakeRead_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const Connection& conn : conns) {
            // NeverRead still watches for errors and hang-ups (always
            // reported), so a dead peer does not leave poll spinning.
            short events = behaviour_.kind == Behaviour::Kind::NeverRead ? 0 : POLLIN;
            fds.push_back({conn.fd, events, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        std::size_t i = 2;
        for (auto it = conns.begin(); it != conns.end(); ++i) {
            short revents = fds[i].revents;
            bool keep = true;
            if (revents & POLLIN) {
                keep = OnReadable(*it);
            } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
                keep = false;
            }
            if (keep) {
                ++it;
            } else {
                ::close(it->fd);
                it = conns.erase(it);
            }
        }
        if (fds[1].revents & POLLIN) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                ++accepted_;
                conns.push_back(Connection{fd, {}, 0, false});
            }
        }
    }
    for (Connection& conn : conns) {
        ::close(conn.fd);
    }
}

bool RawServer::OnReadable(Connection& conn) {
    char buf[16384];
    ssize_t n = ::recv(conn.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    if (n <= 0) {
        return false;
    }
    if (conn.finished) {
        return true;
    }
    conn.pending.append(buf, static_cast<std::size_t>(n));
    for (;;) {
        std::size_t skip = std::min(conn.bodyLeft, conn.pending.size());
        conn.pending.erase(0, skip);
        conn.bodyLeft -= skip;
        if (conn.bodyLeft > 0) {
            return true;
        }
        std::size_t end = conn.pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            return true;
        }
        std::string head = conn.pending.substr(0, end + 4);
        conn.pending.erase(0, end + 4);
        conn.bodyLeft = ContentLength(head);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(head);
        }
        if (behaviour_.kind != Behaviour::Kind::Script) {
            continue;
        }
        if (!WriteAll(conn.fd, behaviour_.bytes)) {
            return false;
        }
        if (behaviour_.closeAfter) {
            // Closing with request bytes still unread would send a reset
            // that can destroy the answer in flight; shut the write side
            // and drain until the client closes instead.
            ::shutdown(conn.fd, SHUT_WR);
            conn.finished = true;
            return true;
        }
    }
}

bool RawServer::WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        // Wait with the wake pipe too, so a client that stops reading
        // cannot hold up the destructor.
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (fds[1].revents != 0) {
            return false;
        }
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string RefusedUrl(const std::string& path) {
    int port = 0;
    int fd = BindLoopback(&port);
    ::close(fd);
    return LoopbackUrl(port, path);
}

}  // namespace kivtest
