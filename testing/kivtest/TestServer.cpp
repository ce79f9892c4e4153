#include "kivtest/TestServer.h"

#include "kivtest/Listen.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace kivtest {

namespace {

using httplib::DataSink;
using httplib::Request;
using httplib::Response;

constexpr std::size_t kDropAnnounced = 100000;
constexpr std::size_t kDropSent = 1000;

std::size_t SizeParam(const Request& req, const char* name, std::size_t fallback) {
    if (!req.has_param(name)) {
        return fallback;
    }
    return static_cast<std::size_t>(std::strtoull(req.get_param_value(name).c_str(), nullptr, 10));
}

void Echo(const Request& req, Response& res) {
    std::string length = req.has_header("Content-Length") ? req.get_header_value("Content-Length")
                                                          : std::to_string(req.body.size());
    res.set_content(req.method + "\n" + length + "\n" + req.body, "application/octet-stream");
}

}  // namespace

std::string PatternBytes(std::size_t n, std::size_t offset) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>((offset + i) % 251);
    }
    return bytes;
}

TestServer::TestServer(const std::function<void(httplib::Server&)>& extraRoutes) {
    // Every open connection holds a pool thread for its whole keep-alive
    // life; the default pool (8 on a small machine) runs out as soon as a
    // test starts a handful of downloads at once.
    server_.new_task_queue = [] { return new httplib::ThreadPool(32); };
    server_.set_keep_alive_timeout(1);
    // Without it, a small answer on a reused connection waits for the
    // client's delayed ACK (about 40 ms) before it leaves.
    server_.set_tcp_nodelay(true);

    server_.set_pre_routing_handler([this](const Request& req, Response&) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++hits_[req.path];
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server_.Get("/text", [](const Request&, Response& res) {
        res.set_content("hello, kivHttp", "text/plain");
    });

    server_.Get("/binary", [](const Request&, Response& res) {
        std::string bytes(256, '\0');
        for (int i = 0; i < 256; ++i) {
            bytes[i] = static_cast<char>(i);
        }
        res.set_content(bytes, "application/octet-stream");
    });

    server_.Get("/big", [](const Request& req, Response& res) {
        std::size_t total = SizeParam(req, "bytes", 0);
        if (total == 0) {
            res.set_content("", "application/octet-stream");
            return;
        }
        res.set_content_provider(total, "application/octet-stream",
                                 [](std::size_t offset, std::size_t length, DataSink& sink) {
                                     std::string piece =
                                         PatternBytes(std::min<std::size_t>(length, 64 * 1024), offset);
                                     return sink.write(piece.data(), piece.size());
                                 });
    });

    server_.Get("/redirect", [](const Request&, Response& res) {
        res.set_redirect("/text", 302);
        res.set_header("X-Hop", "1");
    });

    server_.Get("/redirect-loop", [](const Request&, Response& res) {
        res.set_redirect("/redirect-loop", 302);
    });

    server_.Get("/cookie/set", [](const Request&, Response& res) {
        // Straight into the multimap: set_header would be fine too, but this
        // keeps each spelling exactly as written, in this order.
        res.headers.emplace("Set-Cookie", "a=1");
        res.headers.emplace("set-cookie", "b=2");
        res.headers.emplace("SET-COOKIE", "c=3");
        res.set_header("X-Normal", "yes");
        res.set_content("cookies set", "text/plain");
    });

    server_.Get("/cookie/echo", [](const Request& req, Response& res) {
        res.set_content(req.get_header_value("Cookie"), "text/plain");
    });

    server_.Get("/missing", [](const Request&, Response& res) {
        res.status = 404;
        res.set_content(
            "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>"
            "<body><h1>Not Found</h1><p>Nothing lives here.</p></body></html>\n",
            "text/html");
    });

    server_.Get("/echo", Echo);
    server_.Post("/echo", Echo);
    server_.Put("/echo", Echo);

    server_.Get("/spaced-headers", [](const Request&, Response& res) {
        res.headers.emplace("X-Padded", "   padded value   ");
        res.headers.emplace("X-Tabbed", "\ttabbed\t");
        res.headers.emplace("X-Before-Colon ", "spaced name");
        res.headers.emplace("X-Empty", "");
        res.headers.emplace("X-Dup", "one");
        res.headers.emplace("X-Dup", "two");
        res.headers.emplace("x-dup", "three");
        res.set_content("spaced", "text/plain");
    });

    server_.Get("/slow", [this](const Request& req, Response& res) {
        int pauseMs = static_cast<int>(SizeParam(req, "ms", 100));
        std::size_t chunks = SizeParam(req, "chunks", 1);
        res.set_chunked_content_provider(
            "text/plain", [this, pauseMs, chunks](std::size_t offset, DataSink& sink) {
                // One byte per chunk, so the offset counts the chunks sent.
                if (offset >= chunks) {
                    sink.done();
                    return true;
                }
                if (!Pause(pauseMs) || !sink.is_writable()) {
                    return false;
                }
                return sink.write("x", 1);
            });
    });

    server_.Get("/drop", [](const Request&, Response& res) {
        res.set_content_provider(kDropAnnounced, "application/octet-stream",
                                 [](std::size_t offset, std::size_t, DataSink& sink) {
                                     if (offset == 0) {
                                         std::string part = PatternBytes(kDropSent);
                                         sink.write(part.data(), part.size());
                                     }
                                     // httplib closes the connection when a
                                     // provider gives up mid-body.
                                     return false;
                                 });
    });

    server_.Get("/status", [](const Request& req, Response& res) {
        int code = static_cast<int>(SizeParam(req, "code", 200));
        res.status = code;
        if (code >= 200 && code != 204 && code != 304) {
            res.set_content("status " + std::to_string(code) + "\n", "text/plain");
        }
    });

    if (extraRoutes) {
        extraRoutes(server_);
    }

    port_ = ListenInBackground(server_, thread_, listenReturned_, "kivtest::TestServer");
}

TestServer::~TestServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopCv_.notify_all();
    server_.stop();
    thread_.join();
}

std::string TestServer::Url(const std::string& path) const {
    std::string url = "http://127.0.0.1:" + std::to_string(port_);
    if (path.empty() || path[0] != '/') {
        url += '/';
    }
    return url + path;
}

int TestServer::Hits(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hits_.find(path);
    return it == hits_.end() ? 0 : it->second;
}

int TestServer::TotalHits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto& entry : hits_) {
        total += entry.second;
    }
    return total;
}

bool TestServer::Pause(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

}  // namespace kivtest
