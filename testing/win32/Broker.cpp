#include "Broker.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace kivtest {

namespace {

void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw std::runtime_error("kivtest: WSAStartup failed");
    });
}

// Where kivtest-server listens: KIVTEST_SERVER ("PORT" or "HOST:PORT"), or
// the port written to the file KIVTEST_SERVER_FILE names. The tests' CTest
// fixture starts the server and sets the latter.
sockaddr_in ServerAddress() {
    std::string where;
    if (const char* direct = std::getenv("KIVTEST_SERVER"); direct != nullptr && *direct) {
        where = direct;
    } else if (const char* file = std::getenv("KIVTEST_SERVER_FILE"); file != nullptr && *file) {
        std::ifstream(file) >> where;
        if (where.empty()) throw std::runtime_error(std::string("kivtest: no port in ") + file);
    } else {
        throw std::runtime_error(
            "kivtest: set KIVTEST_SERVER or KIVTEST_SERVER_FILE to reach kivtest-server "
            "(ctest starts it: run the tests through ctest)");
    }
    std::string host = "127.0.0.1";
    if (const std::size_t colon = where.rfind(':'); colon != std::string::npos) {
        host = where.substr(0, colon);
        where = where.substr(colon + 1);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(std::atoi(where.c_str())));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        throw std::runtime_error("kivtest: bad kivtest-server address " + host);
    }
    return addr;
}

}  // namespace

BrokerLink::BrokerLink(const std::string& request) : socket_(INVALID_SOCKET) {
    StartWinsock();
    const sockaddr_in addr = ServerAddress();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) throw std::runtime_error("kivtest: socket() failed");
    if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::closesocket(s);
        throw std::runtime_error("kivtest: cannot connect to kivtest-server on port " +
                                 std::to_string(ntohs(addr.sin_port)));
    }
    socket_ = s;
    Send(request);
    const std::string answer = ReadLine();
    if (answer.rfind("port ", 0) != 0) {
        ::closesocket(s);
        throw std::runtime_error("kivtest: kivtest-server refused: " + answer);
    }
    port_ = std::atoi(answer.c_str() + 5);
}

BrokerLink::~BrokerLink() {
    try {
        Send("bye\n");
        ReadLine();
    } catch (...) {
        // Gone already: the server ends with the connection all the same.
    }
    ::closesocket(static_cast<SOCKET>(socket_));
}

std::string BrokerLink::Ask(const std::string& query) {
    Send(query + "\n");
    return ReadLine();
}

int BrokerLink::AskNumber(const std::string& query) { return Number(Ask(query), query); }

int BrokerLink::ReadNumber() { return Number(ReadLine(), "(continued)"); }

int BrokerLink::Number(const std::string& answer, const std::string& query) {
    if (answer.empty() || answer.rfind("error", 0) == 0) {
        throw std::runtime_error("kivtest: kivtest-server answered \"" + answer + "\" to " + query);
    }
    return std::atoi(answer.c_str());
}

std::string BrokerLink::ReadBytes(std::size_t n) {
    char chunk[65536];
    while (buffer_.size() < n) {
        const int got = ::recv(static_cast<SOCKET>(socket_), chunk, sizeof chunk, 0);
        if (got <= 0) throw std::runtime_error("kivtest: kivtest-server closed the connection");
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
    std::string bytes = buffer_.substr(0, n);
    buffer_.erase(0, n);
    return bytes;
}

void BrokerLink::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int sent = ::send(static_cast<SOCKET>(socket_), bytes.data() + done,
                                static_cast<int>(bytes.size() - done), 0);
        if (sent <= 0) throw std::runtime_error("kivtest: cannot write to kivtest-server");
        done += static_cast<std::size_t>(sent);
    }
}

std::string BrokerLink::ReadLine() {
    char chunk[4096];
    for (;;) {
        if (const std::size_t end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        const int got = ::recv(static_cast<SOCKET>(socket_), chunk, sizeof chunk, 0);
        if (got <= 0) throw std::runtime_error("kivtest: kivtest-server closed the connection");
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string LoopbackUrl(int port, const std::string& path) {
    std::string url = "http://127.0.0.1:" + std::to_string(port);
    if (path.empty() || path[0] != '/') url += '/';
    return url + path;
}

std::string RefusedUrl(const std::string& path) {
    StartWinsock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (s != INVALID_SOCKET) ::closesocket(s);
        throw std::runtime_error("kivtest: cannot bind 127.0.0.1");
    }
    ::closesocket(s);
    return LoopbackUrl(ntohs(addr.sin_port), path);
}

}  // namespace kivtest
