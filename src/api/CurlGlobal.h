#pragma once

#include <curl/curl.h>

// libcurl's process-wide state and the one share handle (DNS cache, cookies,
// TLS sessions) that every transfer uses while the library is started.
void CurlGlobalStartup();
void CurlGlobalCleanup();

// The settings every easy handle of the library gets right after creation:
// the share handle (and with it the in-memory cookie engine), redirects
// followed, 15 s connect and total time-outs, a 512 KiB receive buffer.
// Returns `handle`.
CURL* ApplyCommonOptions(CURL* handle);

// The share handle, or null while the library is not started.
CURLSH* SharedHandle();
