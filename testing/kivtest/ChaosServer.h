// A TestServer with extra routes whose behaviour the client picks per
// request, so that a load test can mix answers, delays, trickles, drops and
// errors at random and still know exactly what each request should get back.
//
//   /chaos?i=K&size=S&mode=M[&ms=T][&cut=C]
//       every answer carries "X-Req: K"; its full body is ChaosBody(K, S)
//       mode=full     200 at once
//       mode=delay    200 after T ms
//       mode=trickle  200 with Content-Length, the body in four pieces with
//                     T/4 ms before each
//       mode=drop     200 announcing the full length, then C bytes and close
//       mode=error    503 with the body
//   POST /chaos-post?i=K   200, body "K:" + the request body, "X-Req: K"
//   /cookie/mint?name=N    200, sets the cookie N=1 for path /
//   /endless               200, chunked, 100 bytes of PatternBytes every
//                          50 ms until the client goes away or the server
//                          stops (a body that never ends)
//
// Hits per K are counted before the handler runs. Pauses end early when the
// server is being destroyed, so teardown never waits for a slow answer.
#ifndef KIVTEST_CHAOS_SERVER_H
#define KIVTEST_CHAOS_SERVER_H

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kivtest/TestServer.h"

namespace kivtest {

inline std::string ChaosBody(int index, std::size_t size) {
    return std::to_string(index) + ":" + PatternBytes(size, static_cast<std::size_t>(index));
}

class ChaosServer {
public:
    // `poolThreads` bounds how many connections the server serves at once.
    explicit ChaosServer(int poolThreads = 64)
        : state_(std::make_shared<State>()),
          server_([this, poolThreads](httplib::Server& s) { AddRoutes(s, poolThreads); }) {}

    ~ChaosServer() {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stopping = true;
        }
        state_->changed.notify_all();
        // server_ is destroyed next and waits for the handlers, which now
        // return at their next pause.
    }

    ChaosServer(const ChaosServer&) = delete;
    ChaosServer& operator=(const ChaosServer&) = delete;

    TestServer& Server() { return server_; }
    int Port() const { return server_.Port(); }
    std::string Url(const std::string& path) const { return server_.Url(path); }

    int HitsFor(int index) const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        auto it = state_->hits.find(index);
        return it == state_->hits.end() ? 0 : it->second;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool stopping = false;
        std::map<int, int> hits;

        // Sleeps `ms`; false when the server is being torn down.
        bool Pause(int ms) {
            std::unique_lock<std::mutex> lock(mutex);
            return !changed.wait_for(lock, std::chrono::milliseconds(ms),
                                     [this] { return stopping; });
        }
        void Hit(int index) {
            std::lock_guard<std::mutex> lock(mutex);
            ++hits[index];
        }
    };

    static long long Param(const httplib::Request& req, const char* name, long long fallback) {
        if (!req.has_param(name)) return fallback;
        return std::strtoll(req.get_param_value(name).c_str(), nullptr, 10);
    }

    void AddRoutes(httplib::Server& s, int poolThreads) {
        s.new_task_queue = [poolThreads] {
            return new httplib::ThreadPool(static_cast<std::size_t>(poolThreads));
        };
        // Headers and body leave in separate writes; without this a kept-alive
        // connection waits for the client's delayed acknowledgement each time.
        s.set_tcp_nodelay(true);
        std::shared_ptr<State> state = state_;

        s.Get("/chaos", [state](const httplib::Request& req, httplib::Response& res) {
            const int index = static_cast<int>(Param(req, "i", 0));
            const auto size = static_cast<std::size_t>(Param(req, "size", 0));
            const int ms = static_cast<int>(Param(req, "ms", 0));
            const std::string mode = req.has_param("mode") ? req.get_param_value("mode") : "full";
            state->Hit(index);
            res.set_header("X-Req", std::to_string(index));
            auto body = std::make_shared<std::string>(ChaosBody(index, size));
            if (mode == "delay") {
                if (!state->Pause(ms)) return;
            }
            if (mode == "error") res.status = 503;
            if (mode == "trickle") {
                const std::size_t piece = std::max<std::size_t>(1, (body->size() + 3) / 4);
                res.set_content_provider(
                    body->size(), "application/octet-stream",
                    [state, body, piece, ms](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                        if (!state->Pause(ms / 4)) return false;
                        const std::size_t n = std::min(piece, body->size() - offset);
                        return sink.write(body->data() + offset, n);
                    });
                return;
            }
            if (mode == "drop") {
                const auto cut = static_cast<std::size_t>(Param(req, "cut", 0));
                res.set_content_provider(
                    body->size(), "application/octet-stream",
                    [body, cut](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                        if (offset == 0 && cut > 0) sink.write(body->data(), std::min(cut, body->size()));
                        // Giving up mid-body makes httplib close the connection.
                        return false;
                    });
                return;
            }
            res.set_content(*body, "application/octet-stream");
        });

        s.Post("/chaos-post", [state](const httplib::Request& req, httplib::Response& res) {
            const int index = static_cast<int>(Param(req, "i", 0));
            state->Hit(index);
            res.set_header("X-Req", std::to_string(index));
            res.set_content(std::to_string(index) + ":" + req.body, "application/octet-stream");
        });

        s.Get("/cookie/mint", [](const httplib::Request& req, httplib::Response& res) {
            const std::string name = req.has_param("name") ? req.get_param_value("name") : "n";
            res.set_header("Set-Cookie", name + "=1; Path=/");
            res.set_content("minted " + name, "text/plain");
        });

        s.Get("/endless", [state](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [state](std::size_t offset, httplib::DataSink& sink) {
                    if (!state->Pause(50) || !sink.is_writable()) return false;
                    const std::string piece = PatternBytes(100, offset);
                    return sink.write(piece.data(), piece.size());
                });
        });
    }

    std::shared_ptr<State> state_;
    TestServer server_;
};

}  // namespace kivtest

#endif
