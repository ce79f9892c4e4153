// What a RawServer does with each connection: shared by the in-process
// server on POSIX and its stand-in that drives the native test server from
// Windows, so that tests describe behaviours the same way on both.
#ifndef KIVTEST_RAW_BEHAVIOURS_H
#define KIVTEST_RAW_BEHAVIOURS_H

#include <string>
#include <utility>

namespace kivtest {

struct RawBehaviours {
    struct Behaviour {
        enum class Kind { Silent, NeverRead, Script };
        Kind kind;
        std::string bytes;
        bool closeAfter;
    };

    // Accepts, reads and discards everything, never writes; the connection
    // stays open until the client closes it or the server is destroyed.
    static Behaviour Silent() { return {Behaviour::Kind::Silent, {}, false}; }

    // Accepts and never reads, so a client sending a large body blocks once
    // the socket buffers are full.
    static Behaviour NeverRead() { return {Behaviour::Kind::NeverRead, {}, false}; }

    // Reads each request head (and skips its Content-Length body), then
    // writes `bytes` exactly as given. With `closeAfter` the connection is
    // closed after the first answer (the write side first, so the client
    // reads everything before it sees the end); otherwise it stays open and
    // every further request on it gets the same bytes.
    static Behaviour Script(std::string bytes, bool closeAfter = true) {
        return {Behaviour::Kind::Script, std::move(bytes), closeAfter};
    }
};

}  // namespace kivtest

#endif
