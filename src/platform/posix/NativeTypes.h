#pragma once

#include <pthread.h>

#include "kivMsgLoop.h"

#define KIV_PLATFORM_STDCALL

namespace platform {

struct LockStorage {
    pthread_mutex_t mutex;
};

using Message = kmsgMessage;

}  // namespace platform
