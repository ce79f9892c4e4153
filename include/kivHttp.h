/*
 * kivHttp: a small HTTP client for desktop host programs, over libcurl.
 *
 * Three ways in:
 *   - blocking calls (kivSyncGet, kivSyncPost, kivSyncDownload) run one
 *     transfer on the calling thread and return a response;
 *   - queued requests (kivAsyncGet, kivAsyncPost) are performed one at a time,
 *     in arrival order, by one worker thread;
 *   - downloads (kivAsyncDownload) each run on a thread of their own.
 *
 * Asynchronous results come back on the thread that called kivHttpStartup
 * (the start-up thread), inside its message loop's retrieval of a message:
 * GetMessage/PeekMessage on Windows, kmsgGetMessage/kmsgPeekMessage
 * (kivMsgLoop.h) on POSIX. The callback owns the response it receives and
 * frees it with kivFreeHttp.
 *
 * Every transfer follows redirects, has a 15 s connect and a 15 s total
 * time-out, and while the library is started shares DNS cache and cookies
 * with every other transfer. Nothing is configurable. No call reports an
 * error: a rejected call returns null or 0, and a failed transfer returns a
 * response whose status code is 0.
 *
 * Example:
 *
 *     static void KIV_CALL OnDone(kivHttpResponse* r, int userData) {
 *         printf("%d: %d, %d bytes\n", userData, kivGetHttpCode(r), kivGetHttpBodyLen(r));
 *         kivFreeHttp(r);
 *     }
 *     kivHttpStartup();
 *     kivAsyncGet("http://example.com/", OnDone, 7);
 *     ... run the thread's message loop ...
 *     kivHttpCleanup();
 */
#ifndef KIV_HTTP_H
#define KIV_HTTP_H

#if defined(_WIN32)
#define KIV_CALL __cdecl /* caller cleans the stack */
/* The library's .def file alone decides what kivHttp.dll exports; hosts
 * call through the import table. */
#if defined(KIV_BUILDING)
#define KIV_API
#else
#define KIV_API __declspec(dllimport)
#endif
#else
#define KIV_CALL
#if defined(KIV_BUILDING)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A response: status code, the header lines of the last response received
 * (without Set-Cookie lines) and, for GET and POST, the body. Opaque; owned by
 * whoever received it until passed to kivFreeHttp. */
typedef struct kivHttpResponse kivHttpResponse;

/* Completion callback, run on the start-up thread. It receives ownership of
 * `response` (free it with kivFreeHttp) and the caller's `userData`. */
typedef void(KIV_CALL* HttpCallback)(kivHttpResponse* response, int userData);

/* ---- lifetime ----------------------------------------------------------- */

/* Starts the library on the calling thread, which must run a message loop
 * and becomes the start-up thread. A second call while started changes
 * nothing. Call it while no other call into the library is in progress. */
KIV_API void KIV_CALL kivHttpStartup(void);

/* Stops the library: performs what is still queued (without callbacks),
 * stops every download (partial files are kept), and releases everything.
 * Harmless when not started, and callable from inside a completion callback
 * (the service running that callback is released when it returns). No other
 * call into the library may be in progress on another thread. */
KIV_API void KIV_CALL kivHttpCleanup(void);

/* ---- blocking transfers (need no start-up) ------------------------------ */

/* GET `url`; a new response, or null when `url` is null. */
KIV_API kivHttpResponse* KIV_CALL kivSyncGet(const char* url);

/* POST `length` bytes at `data` to `url`; a new response, or null when `url`
 * or `data` is null or `length` negative. `data` is read in place. */
KIV_API kivHttpResponse* KIV_CALL kivSyncPost(const char* url, const void* data, int length);

/* GET `url` into the file `path` (created or truncated when the first body
 * bytes arrive; left untouched when none arrive); a new response without a
 * body, or null when `url` or `path` is null. */
KIV_API kivHttpResponse* KIV_CALL kivSyncDownload(const char* url, const char* path);

/* Placeholders: return 0 and do nothing. */
KIV_API int KIV_CALL kivSyncPostFile(void);
KIV_API int KIV_CALL kivAsyncPostFile(void);

/* ---- queued requests ---------------------------------------------------- */

/* Queues a GET. Returns its id (never 0), or 0 when the library is not
 * started. A null `url` is queued and fails with status 0. `callback` may be
 * null: the response is then freed by the library. */
KIV_API int KIV_CALL kivAsyncGet(const char* url, HttpCallback callback, int userData);

/* Queues a POST of a copy of `length` bytes at `data` (the buffer may be
 * reused at once). Returns its id, or 0 when the library is not started,
 * `length` is negative, or `data` is null with a non-zero `length`. */
KIV_API int KIV_CALL kivAsyncPost(const char* url, const void* data, int length,
                                  HttpCallback callback, int userData);

/* Cancels a queued GET or POST by id and returns at once. A request not yet
 * handed back is dropped without a callback (a running transfer is stopped
 * at once); only a hand-off already under way on the start-up thread when
 * another thread cancels can still call back. Ids of no queued request
 * (never issued, already handed back) are ignored. */
KIV_API void KIV_CALL kivAsyncCancel(int id);

/* ---- downloads ---------------------------------------------------------- */

/* Starts a download of `url` into the file `path` on a thread of its own.
 * Returns its id (counted apart from kivAsyncGet's), or 0 when `url` or
 * `path` is null or the library is not started. The callback's response has
 * the status code and headers; the body is in the file. */
KIV_API int KIV_CALL kivAsyncDownload(const char* url, const char* path, HttpCallback callback,
                                      int userData);

/* Stops a download by id and waits for its thread (a running transfer is
 * stopped at once); no callback follows. The file keeps what was written.
 * Unknown ids are ignored. */
KIV_API void KIV_CALL kivAsyncCancelDownload(int id);

/* ---- responses ---------------------------------------------------------- */

/* The HTTP status code; 0 when none was received or `response` is null. */
KIV_API int KIV_CALL kivGetHttpCode(kivHttpResponse* response);

/* The value of the first header line named `name` (any letter case), valid
 * until kivFreeHttp; null when there is none or an argument is null. */
KIV_API const char* KIV_CALL kivGetHttpHeader(kivHttpResponse* response, const char* name);

/* The body bytes followed by a NUL, valid until kivFreeHttp; null for a
 * download's response or a null `response`. The body may contain NULs. */
KIV_API const char* KIV_CALL kivGetHttpBody(kivHttpResponse* response);

/* The number of body bytes; 0 for a download's response or a null `response`. */
KIV_API int KIV_CALL kivGetHttpBodyLen(kivHttpResponse* response);

/* Frees a response and everything obtained from it; null is ignored. */
KIV_API void KIV_CALL kivFreeHttp(kivHttpResponse* response);

#ifdef __cplusplus
}
#endif

#endif /* KIV_HTTP_H */
