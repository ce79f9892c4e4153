#pragma once

#include <curl/curl.h>

namespace Http {
namespace Base {

// Longest wait of one pass; also bounds how stale libcurl's timers can get.
constexpr int kTransferPollMilliseconds = 1000;

// Drives the one easy handle added to `multi` until libcurl reports it done
// (true) or `check->IsCancelled()` says to give up (false). The check is
// asked once per pass, after that pass's perform calls, never before the
// first wait. A canceller makes the check's answer take effect at once by
// calling curl_multi_wakeup on `multi` while the loop runs. True says
// nothing about success; the response shows that. No handle is removed or
// cleaned up here.
template <typename Check>
bool RunTransfer(CURLM* multi, Check* check) {
    int running = 0;
    while (curl_multi_perform(multi, &running) == CURLM_CALL_MULTI_PERFORM) {
    }
    while (running != 0) {
        // Unlike select, poll has no FD_SETSIZE ceiling, copes with a pass
        // that has no socket to watch, and honours libcurl's own timers.
        if (curl_multi_poll(multi, nullptr, 0, kTransferPollMilliseconds, nullptr) != CURLM_OK) {
            return true;
        }
        while (curl_multi_perform(multi, &running) == CURLM_CALL_MULTI_PERFORM) {
        }
        if (check != nullptr && check->IsCancelled()) return false;
    }
    return true;
}

}  // namespace Base
}  // namespace Http
