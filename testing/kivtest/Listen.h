// Starting an in-process cpp-httplib server, plain or TLS, the one way the
// test servers share.
#ifndef KIVTEST_LISTEN_H
#define KIVTEST_LISTEN_H

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace kivtest {

// Binds `server` to 127.0.0.1 on a port of the system's choosing and runs
// its loop on `thread`; returns the port once the loop runs. The socket
// accepts connections at once, but stop() does nothing until the loop has
// started, so returning earlier could leave a destructor hanging.
inline int ListenInBackground(httplib::Server& server, std::thread& thread,
                              std::atomic<bool>& listenReturned, const std::string& who) {
    const int port = server.bind_to_any_port("127.0.0.1");
    if (port < 0) throw std::runtime_error(who + ": cannot bind 127.0.0.1");
    thread = std::thread([&server, &listenReturned] {
        server.listen_after_bind();
        listenReturned = true;
    });
    while (!server.is_running()) {
        if (listenReturned) {
            thread.join();
            throw std::runtime_error(who + ": listen failed");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return port;
}

}  // namespace kivtest

#endif
