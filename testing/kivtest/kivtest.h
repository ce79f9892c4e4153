// Everything in the test-support library.
#ifndef KIVTEST_KIVTEST_H
#define KIVTEST_KIVTEST_H

#include "kivtest/MessagePump.h"
#include "kivtest/RawServer.h"
#include "kivtest/TempDir.h"
#include "kivtest/TestServer.h"

#endif
