#pragma once

#include <list>

#include "Http/Base/AsyncServiceBase.h"
#include "Http/File/FileRequest.h"
#include "System/CriticalSection.h"

namespace Http {
namespace File {

// Downloads, each on a thread of its own, handed back on the start-up
// thread in start order. `lock` (recursive) guards idCounter and downloads;
// Dispatch holds it while it calls back, so a callback may start or cancel
// downloads. Nobody waits for a thread while holding it, except Dispatch
// for a thread that has already finished its transfer.
class FileService : public Base::AsyncServiceBase {
public:
    FileService() = default;
    ~FileService() override;

    void Launch() {}

    // The new download's id, never 0; its thread starts at once.
    RequestId StartDownload(const char* url, const char* path, HttpCallback callback,
                            int userData);

    // Stops the download (its transfer at once), waits for its thread and
    // destroys it without a callback. Unknown ids are ignored.
    void CancelDownload(RequestId id);

    // Cancels every download, as CancelDownload does.
    void StopAll();

    void Dispatch() override;

    void SetIdCounterForTesting(RequestId value);

private:
    static void StopAndDelete(FileRequest* download);

    RequestId idCounter = 0;
    std::list<FileRequest*> downloads;
    CriticalSection lock;
};

}  // namespace File
}  // namespace Http
