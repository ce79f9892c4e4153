// kivtest-server: kivtest's test servers for test programs that cannot host
// them in-process. The Windows tests run under Wine on this machine; each of
// their kivtest::TestServer and kivtest::RawServer objects is a connection
// to this program, which runs the real server natively on 127.0.0.1 and
// answers the object's queries (Protocol.md).
//
//   kivtest-server [--port-file FILE]
//
// Listens on 127.0.0.1 at a port the OS picks, prints it (and writes it to
// FILE once it accepts connections), and serves until it is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kivtest/RawServer.h"
#include "kivtest/TestServer.h"

namespace {

class Connection {
   public:
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection() { ::close(fd_); }

    // False at end of stream.
    bool ReadLine(std::string* line) {
        line->clear();
        for (;;) {
            std::size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                *line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            if (!Fill()) return false;
        }
    }

    bool ReadExactly(std::size_t n, std::string* bytes) {
        while (buffer_.size() < n) {
            if (!Fill()) return false;
        }
        *bytes = buffer_.substr(0, n);
        buffer_.erase(0, n);
        return true;
    }

    bool Write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

   private:
    bool Fill() {
        char chunk[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
    }

    int fd_;
    std::string buffer_;
};

kivtest::RawServer::Behaviour ParseRaw(const std::string& kind, bool closeAfter,
                                       std::string bytes) {
    if (kind == "silent") return kivtest::RawServer::Silent();
    if (kind == "never-read") return kivtest::RawServer::NeverRead();
    if (kind == "script") return kivtest::RawServer::Script(std::move(bytes), closeAfter);
    throw std::runtime_error("unknown raw behaviour " + kind);
}

// One test server for the lifetime of one connection.
void Serve(int fd) {
    Connection conn(fd);
    std::unique_ptr<kivtest::TestServer> http;
    std::unique_ptr<kivtest::RawServer> raw;
    std::string line;
    if (!conn.ReadLine(&line)) return;
    try {
        std::istringstream words(line);
        std::string what;
        words >> what;
        if (what == "http") {
            http = std::make_unique<kivtest::TestServer>();
            conn.Write("port " + std::to_string(http->Port()) + "\n");
        } else if (what == "raw") {
            std::string kind;
            int closeAfter = 0;
            std::size_t length = 0;
            words >> kind >> closeAfter >> length;
            std::string bytes;
            if (!words || !conn.ReadExactly(length, &bytes))
                throw std::runtime_error("bad raw request");
            raw = std::make_unique<kivtest::RawServer>(
                ParseRaw(kind, closeAfter != 0, std::move(bytes)));
            conn.Write("port " + std::to_string(raw->Port()) + "\n");
        } else {
            throw std::runtime_error("unknown request " + line);
        }
    } catch (const std::exception& e) {
        conn.Write(std::string("error ") + e.what() + "\n");
        return;
    }

    while (conn.ReadLine(&line)) {
        if (line == "bye") {
            http.reset();
            raw.reset();
            conn.Write("bye\n");
            return;
        }
        std::string answer;
        if (http && line.rfind("hits ", 0) == 0) {
            answer = std::to_string(http->Hits(line.substr(5))) + "\n";
        } else if (http && line == "total") {
            answer = std::to_string(http->TotalHits()) + "\n";
        } else if (raw && line == "accepted") {
            answer = std::to_string(raw->Accepted()) + "\n";
        } else if (raw && line == "requests") {
            const std::vector<std::string> heads = raw->Requests();
            answer = std::to_string(heads.size()) + "\n";
            for (const std::string& head : heads)
                answer += std::to_string(head.size()) + "\n" + head;
        } else {
            answer = "error unknown query " + line + "\n";
        }
        if (!conn.Write(answer)) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string portFile;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port-file") == 0 && i + 1 < argc) {
            portFile = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--port-file FILE]\n", argv[0]);
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);

    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 128) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("kivtest-server: cannot listen on 127.0.0.1");
        return 1;
    }
    const int port = ntohs(addr.sin_port);
    std::printf("%d\n", port);
    std::fflush(stdout);
    if (!portFile.empty()) {
        // Written under another name and renamed, so a reader never sees half a port.
        const std::string partial = portFile + ".partial";
        std::ofstream(partial) << port << "\n";
        if (std::rename(partial.c_str(), portFile.c_str()) != 0) {
            std::perror("kivtest-server: cannot write the port file");
            return 1;
        }
    }

    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            std::perror("kivtest-server: accept");
            return 1;
        }
        std::thread(Serve, fd).detach();
    }
}
