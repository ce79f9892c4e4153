/* A one-file C host compiled with `pkg-config --cflags --libs kivHttp`. */
#include <stdio.h>

#include <kivHttp.h>
#ifndef _WIN32
#include <kivMsgLoop.h>
#endif

int main(void) {
    int failures = 0;
    kivHttpResponse* response;

    kivHttpStartup();
    if (kivSyncGet(NULL) != NULL) {
        fputs("pkg-config host: FAILED: kivSyncGet(NULL) is not null\n", stderr);
        ++failures;
    }
    /* Nothing listens on port 1: no HTTP response, status 0. */
    response = kivSyncGet("http://127.0.0.1:1/");
    if (response == NULL || kivGetHttpCode(response) != 0) {
        fputs("pkg-config host: FAILED: a refused URL does not give status 0\n", stderr);
        ++failures;
    }
    kivFreeHttp(response);
#ifndef _WIN32
    if (kmsgCurrentThreadId() == 0) {
        fputs("pkg-config host: FAILED: no thread id from kivMsgLoop\n", stderr);
        ++failures;
    }
#endif
    kivHttpCleanup();

    if (failures != 0) return 1;
    puts("pkg-config host: ok");
    return 0;
}
