// Everything in the test-support library.
#ifndef KIVTEST_KIVTEST_H
#define KIVTEST_KIVTEST_H

#include "kivtest/RawServer.h"
#include "kivtest/TempDir.h"
#include "kivtest/TestServer.h"
#ifndef _WIN32
#include "kivtest/MessagePump.h"
#endif

#endif
