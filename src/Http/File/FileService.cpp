#include "Http/File/FileService.h"

#include <memory>

namespace Http {
namespace File {

FileService::~FileService() { StopAll(); }

void FileService::SetIdCounterForTesting(RequestId value) {
    lock.Enter();
    idCounter = value;
    lock.Leave();
}

RequestId FileService::StartDownload(const char* url, const char* path, HttpCallback callback,
                                     int userData) {
    // Built before the lock, so that a failed allocation leaves it free.
    auto download = std::make_unique<FileRequest>(0, url, callback, userData, this, path);
    std::list<FileRequest*> node{download.get()};

    lock.Enter();
    idCounter = NextRequestId(idCounter);
    const RequestId id = idCounter;
    download->SetId(id);
    // Started under the lock: Dispatch cannot look at the list before the
    // download is in it, however fast the transfer ends.
    download->Start(false);
    downloads.splice(downloads.end(), node);
    lock.Leave();
    download.release();
    return id;
}

void FileService::StopAndDelete(FileRequest* download) {
    download->RequestCancel();
    download->Wait(platform::kInfinite);
    download->Stop();
    delete download;
}

void FileService::CancelDownload(RequestId id) {
    FileRequest* found = nullptr;
    lock.Enter();
    for (auto it = downloads.begin(); it != downloads.end(); ++it) {
        if ((*it)->Id() == id) {
            found = *it;
            downloads.erase(it);
            break;
        }
    }
    lock.Leave();
    if (found != nullptr) StopAndDelete(found);
}

void FileService::StopAll() {
    // Ask all first, so that they wind down side by side.
    lock.Enter();
    for (FileRequest* download : downloads) download->RequestCancel();
    lock.Leave();
    for (;;) {
        FileRequest* download = nullptr;
        lock.Enter();
        if (!downloads.empty()) {
            download = downloads.front();
            downloads.pop_front();
        }
        lock.Leave();
        if (download == nullptr) return;
        StopAndDelete(download);
    }
}

void FileService::Dispatch() {
    lock.Enter();
    // Each hand-off starts again from the front: a callback may cancel
    // downloads, start new ones, run a nested loop whose Dispatch hands some
    // off, or clean the library up, and no iterator survives all of that.
    for (;;) {
        FileRequest* finished = nullptr;
        for (auto it = downloads.begin(); it != downloads.end(); ++it) {
            if ((*it)->State() == DownloadState::Finished) {
                finished = *it;
                downloads.erase(it);
                break;
            }
        }
        if (finished == nullptr) break;
        // Its thread has only its completion message left to post, and
        // stops trying once asked (its queue may be full).
        finished->RequestStop();
        finished->Wait(platform::kInfinite);
        finished->Stop();
        Base::CompleteRequest(finished);
    }
    lock.Leave();
}

}  // namespace File
}  // namespace Http
