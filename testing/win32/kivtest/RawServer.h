// kivtest::RawServer for the Windows tests, which run under Wine: the
// interface of testing/kivtest/RawServer.h. The server itself runs natively
// on this machine in kivtest-server (testing/server); this object is its
// connection to it.
#ifndef KIVTEST_RAW_SERVER_H
#define KIVTEST_RAW_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include "kivtest/RawBehaviours.h"

namespace kivtest {

class BrokerLink;

class RawServer : public RawBehaviours {
   public:
    explicit RawServer(Behaviour behaviour);
    ~RawServer();

    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int Port() const;
    std::string Url(const std::string& path) const;

    // Connections accepted so far.
    int Accepted() const;

    // The request heads received so far, as raw bytes.
    std::vector<std::string> Requests() const;

   private:
    std::unique_ptr<BrokerLink> link_;
};

// "http://127.0.0.1:PORT/path" for a port nothing listens on.
std::string RefusedUrl(const std::string& path = "/");

}  // namespace kivtest

#endif
