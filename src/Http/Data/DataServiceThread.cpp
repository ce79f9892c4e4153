#include "Http/Data/DataServiceThread.h"

#include "Http/Data/DataService.h"

namespace Http {
namespace Data {

std::uint32_t DataServiceThread::Run() {
    while (!StopRequested()) owner->WorkerStep();
    return 0;
}

}  // namespace Data
}  // namespace Http
