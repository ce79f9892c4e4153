// Picks the back-end's native types: the storage of a recursive lock, the
// layout of a retrieved message, and the calling convention of callbacks
// that the system calls.
#pragma once

#if defined(_WIN32)
#include "platform/win32/NativeTypes.h"
#else
#include "platform/posix/NativeTypes.h"
#endif
