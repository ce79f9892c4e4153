// An HTTPS server inside the test process (cpp-httplib's SSLServer, which
// Debian builds with OpenSSL), listening on 127.0.0.1 and reached as
// https://localhost:PORT. The certificate and key come from files, made by
// scripts/test-ca.sh for the run.
//
//   /text               200 "hello over TLS", text/plain
//   /big [bytes=N]      200, PatternBytes(N)
//   /echo               POST: body = "POST\n" + request body
//   /cookie/set         200, sets "tls=1" (Secure) for path /
//   /cookie/echo        200, body = the request's Cookie header
#ifndef KIVTEST_TLS_SERVER_H
#define KIVTEST_TLS_SERVER_H

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "kivtest/Listen.h"
#include "kivtest/TestServer.h"

namespace kivtest {

class TlsServer {
public:
    TlsServer(const std::string& certificateFile, const std::string& keyFile)
        : server_(certificateFile.c_str(), keyFile.c_str()) {
        if (!server_.is_valid()) {
            throw std::runtime_error("kivtest::TlsServer: cannot load " + certificateFile);
        }
        server_.set_keep_alive_timeout(1);
        server_.set_tcp_nodelay(true);
        server_.Get("/text", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("hello over TLS", "text/plain");
        });
        server_.Get("/big", [](const httplib::Request& req, httplib::Response& res) {
            const std::size_t n = req.has_param("bytes")
                                      ? std::strtoull(req.get_param_value("bytes").c_str(), nullptr, 10)
                                      : 0;
            res.set_content(PatternBytes(n), "application/octet-stream");
        });
        server_.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("POST\n" + req.body, "application/octet-stream");
        });
        server_.Get("/cookie/set", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Set-Cookie", "tls=1; Path=/; Secure");
            res.set_content("set", "text/plain");
        });
        server_.Get("/cookie/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.get_header_value("Cookie"), "text/plain");
        });
        port_ = ListenInBackground(server_, thread_, listenReturned_, "kivtest::TlsServer");
    }

    ~TlsServer() {
        server_.stop();
        thread_.join();
    }

    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    int Port() const { return port_; }

    // "https://localhost:PORT/path": the name the certificate is for.
    std::string Url(const std::string& path) const {
        return "https://localhost:" + std::to_string(port_) +
               (path.empty() || path[0] != '/' ? "/" : "") + path;
    }

private:
    httplib::SSLServer server_;
    std::thread thread_;
    int port_ = -1;
    std::atomic<bool> listenReturned_{false};
};

}  // namespace kivtest

#endif
