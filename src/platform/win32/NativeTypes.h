#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#define KIV_PLATFORM_STDCALL __stdcall

namespace platform {

struct LockStorage {
    CRITICAL_SECTION section;
};

using Message = MSG;

}  // namespace platform
