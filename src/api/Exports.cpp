// The library's C interface. Each export checks its arguments and forwards;
// no C++ exception crosses it: running out of memory gives the call's null
// or 0 result.
#include "kivHttp.h"

#include <exception>

#include "api/Lifecycle.h"
#include "api/SyncTransfers.h"

namespace {

Http::Base::HttpResponse* Unwrap(kivHttpResponse* response) {
    return reinterpret_cast<Http::Base::HttpResponse*>(response);
}

kivHttpResponse* Wrap(Http::Base::HttpResponse* response) {
    return reinterpret_cast<kivHttpResponse*>(response);
}

template <typename Result, typename Body>
Result Guarded(Result failed, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return failed;
    }
}

template <typename Body>
void Guarded(Body body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace

extern "C" {

KIV_API void KIV_CALL kivHttpStartup(void) {
    Guarded([] { HttpStartup(); });
}

KIV_API void KIV_CALL kivHttpCleanup(void) {
    Guarded([] { HttpCleanup(); });
}

KIV_API int KIV_CALL kivAsyncGet(const char* url, HttpCallback callback, int userData) {
    return Guarded(0, [&] { return dataService ? dataService->Get(url, callback, userData) : 0; });
}

KIV_API int KIV_CALL kivAsyncPost(const char* url, const void* data, int length,
                                  HttpCallback callback, int userData) {
    return Guarded(0, [&] {
        return dataService ? dataService->Post(url, data, length, callback, userData) : 0;
    });
}

KIV_API void KIV_CALL kivAsyncCancel(int id) {
    Guarded([&] {
        if (dataService) dataService->Cancel(id);
    });
}

KIV_API int KIV_CALL kivAsyncDownload(const char* url, const char* path, HttpCallback callback,
                                      int userData) {
    if (url == nullptr || path == nullptr) return 0;
    return Guarded(0, [&] {
        return fileService ? fileService->StartDownload(url, path, callback, userData) : 0;
    });
}

KIV_API void KIV_CALL kivAsyncCancelDownload(int id) {
    Guarded([&] {
        if (fileService) fileService->CancelDownload(id);
    });
}

KIV_API kivHttpResponse* KIV_CALL kivSyncGet(const char* url) {
    return Guarded<kivHttpResponse*>(nullptr, [&] { return Wrap(SyncGet(url)); });
}

KIV_API kivHttpResponse* KIV_CALL kivSyncPost(const char* url, const void* data, int length) {
    return Guarded<kivHttpResponse*>(nullptr, [&] { return Wrap(SyncPost(url, data, length)); });
}

KIV_API kivHttpResponse* KIV_CALL kivSyncDownload(const char* url, const char* path) {
    return Guarded<kivHttpResponse*>(nullptr, [&] { return Wrap(SyncDownload(url, path)); });
}

KIV_API int KIV_CALL kivSyncPostFile(void) { return 0; }

KIV_API int KIV_CALL kivAsyncPostFile(void) { return 0; }

KIV_API int KIV_CALL kivGetHttpCode(kivHttpResponse* response) {
    return response ? Unwrap(response)->Code() : 0;
}

KIV_API const char* KIV_CALL kivGetHttpHeader(kivHttpResponse* response, const char* name) {
    if (response == nullptr || name == nullptr) return nullptr;
    return Unwrap(response)->FindHeader(name);
}

KIV_API const char* KIV_CALL kivGetHttpBody(kivHttpResponse* response) {
    return response ? Unwrap(response)->Body() : nullptr;
}

KIV_API int KIV_CALL kivGetHttpBodyLen(kivHttpResponse* response) {
    return response ? static_cast<int>(Unwrap(response)->BodyLength()) : 0;
}

KIV_API void KIV_CALL kivFreeHttp(kivHttpResponse* response) { delete Unwrap(response); }

}  // extern "C"
