#include "kivtest/RawServer.h"

#include "Broker.h"

namespace kivtest {

namespace {

std::string Request(const RawServer::Behaviour& behaviour) {
    const char* kind = behaviour.kind == RawServer::Behaviour::Kind::Silent      ? "silent"
                       : behaviour.kind == RawServer::Behaviour::Kind::NeverRead ? "never-read"
                                                                                 : "script";
    return std::string("raw ") + kind + (behaviour.closeAfter ? " 1 " : " 0 ") +
           std::to_string(behaviour.bytes.size()) + "\n" + behaviour.bytes;
}

}  // namespace

RawServer::RawServer(Behaviour behaviour)
    : link_(std::make_unique<BrokerLink>(Request(behaviour))) {}
RawServer::~RawServer() = default;

int RawServer::Port() const { return link_->Port(); }
std::string RawServer::Url(const std::string& path) const { return LoopbackUrl(Port(), path); }
int RawServer::Accepted() const { return link_->AskNumber("accepted"); }

std::vector<std::string> RawServer::Requests() const {
    const int count = link_->AskNumber("requests");
    std::vector<std::string> heads;
    for (int i = 0; i < count; ++i) {
        const std::size_t length = static_cast<std::size_t>(link_->ReadNumber());
        heads.push_back(link_->ReadBytes(length));
    }
    return heads;
}

}  // namespace kivtest
