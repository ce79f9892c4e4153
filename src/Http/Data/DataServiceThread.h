#pragma once

#include "System/Thread.h"

namespace Http {
namespace Data {

class DataService;

// The data service's one worker: performs queued requests step by step and
// looks at its stop flag between steps.
class DataServiceThread : public System::Thread::Thread {
public:
    void SetOwner(DataService* service) { owner = service; }

protected:
    std::uint32_t Run() override;

private:
    DataService* owner = nullptr;
};

}  // namespace Data
}  // namespace Http
