#pragma once

#include "Http/Base/HttpResponse.h"

// Blocking transfers on the caller's thread. Each returns a new response
// that the caller owns, or null when an argument is rejected (then nothing
// is sent). A transfer that fails still returns a response, with status 0
// when no status line arrived.
Http::Base::HttpResponse* SyncGet(const char* url);
Http::Base::HttpResponse* SyncPost(const char* url, const void* data, int length);
Http::Base::HttpResponse* SyncDownload(const char* url, const char* path);
