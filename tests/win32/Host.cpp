// A Windows host program, as the library's users write them: it loads
// kivHttp.dll at run time, imports every export by name and by ordinal, and
// runs its start-up thread's GetMessageW loop while asynchronous GETs,
// POSTs and downloads come back, are cancelled, and are handed back inside
// a nested loop run from a callback. Exit code 0 when everything held.
//
//   kivhttp_host.exe        (kivTesting reaches kivtest-server; see testing/)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "kivHttp.h"
#include "kivtest/TestServer.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    std::fflush(stdout);
    if (!ok) ++failures;
}

// ---- the library, imported by hand --------------------------------------

struct Library {
    HMODULE module = nullptr;
    decltype(&kivAsyncCancel) AsyncCancel;
    decltype(&kivAsyncCancelDownload) AsyncCancelDownload;
    decltype(&kivAsyncDownload) AsyncDownload;
    decltype(&kivAsyncGet) AsyncGet;
    decltype(&kivAsyncPost) AsyncPost;
    decltype(&kivAsyncPostFile) AsyncPostFile;
    decltype(&kivFreeHttp) FreeHttp;
    decltype(&kivGetHttpBody) GetHttpBody;
    decltype(&kivGetHttpBodyLen) GetHttpBodyLen;
    decltype(&kivGetHttpCode) GetHttpCode;
    decltype(&kivGetHttpHeader) GetHttpHeader;
    decltype(&kivHttpCleanup) HttpCleanup;
    decltype(&kivHttpStartup) HttpStartup;
    decltype(&kivSyncDownload) SyncDownload;
    decltype(&kivSyncGet) SyncGet;
    decltype(&kivSyncPost) SyncPost;
    decltype(&kivSyncPostFile) SyncPostFile;
};
Library kiv;

// Ordinals follow the alphabetical order of the names.
template <typename Function>
void Import(Function* slot, const char* name, WORD ordinal) {
    FARPROC byName = GetProcAddress(kiv.module, name);
    FARPROC byOrdinal = GetProcAddress(kiv.module, MAKEINTRESOURCEA(ordinal));
    const std::string what =
        std::string(name) + " by name and as ordinal " + std::to_string(ordinal);
    Check(byName != nullptr && byName == byOrdinal, what.c_str());
    // Through void*: FARPROC's own type says nothing about the function.
    *slot = reinterpret_cast<Function>(reinterpret_cast<void*>(byName));
}

bool ImportAll() {
    Import(&kiv.AsyncCancel, "kivAsyncCancel", 1);
    Import(&kiv.AsyncCancelDownload, "kivAsyncCancelDownload", 2);
    Import(&kiv.AsyncDownload, "kivAsyncDownload", 3);
    Import(&kiv.AsyncGet, "kivAsyncGet", 4);
    Import(&kiv.AsyncPost, "kivAsyncPost", 5);
    Import(&kiv.AsyncPostFile, "kivAsyncPostFile", 6);
    Import(&kiv.FreeHttp, "kivFreeHttp", 7);
    Import(&kiv.GetHttpBody, "kivGetHttpBody", 8);
    Import(&kiv.GetHttpBodyLen, "kivGetHttpBodyLen", 9);
    Import(&kiv.GetHttpCode, "kivGetHttpCode", 10);
    Import(&kiv.GetHttpHeader, "kivGetHttpHeader", 11);
    Import(&kiv.HttpCleanup, "kivHttpCleanup", 12);
    Import(&kiv.HttpStartup, "kivHttpStartup", 13);
    Import(&kiv.SyncDownload, "kivSyncDownload", 14);
    Import(&kiv.SyncGet, "kivSyncGet", 15);
    Import(&kiv.SyncPost, "kivSyncPost", 16);
    Import(&kiv.SyncPostFile, "kivSyncPostFile", 17);
    Check(GetProcAddress(kiv.module, MAKEINTRESOURCEA(18)) == nullptr, "no ordinal 18");
    Check(GetProcAddress(kiv.module, "_kivHttpStartup") == nullptr &&
              GetProcAddress(kiv.module, "DllMain") == nullptr,
          "no decorated names, no DllMain export");
    return failures == 0;
}

int ThreadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// ---- the asynchronous run -------------------------------------------------

enum Request : int {
    kGet = 1,
    kPost,
    kDownload,
    kNestedGet,   // queued from inside kGet's callback, handed back in its nested loop
    kFromWorker,  // queued by another thread
    kCancelledGet,
    kCancelledDownload,
    kRequests
};

DWORD startupThread = 0;
int calls[kRequests] = {};
int codes[kRequests] = {};
std::string bodies[kRequests];
bool offThread = false;
int nesting = 0;
int nestedSawDepth = 0;
kivtest::TestServer* server = nullptr;
std::string downloadPath;

bool AllExpectedDone() {
    return calls[kGet] && calls[kPost] && calls[kDownload] && calls[kNestedGet] &&
           calls[kFromWorker];
}

void KIV_CALL OnDone(kivHttpResponse* response, int userData) {
    if (GetCurrentThreadId() != startupThread) offThread = true;
    if (userData > 0 && userData < kRequests) {
        ++calls[userData];
        codes[userData] = kiv.GetHttpCode(response);
        if (const char* body = kiv.GetHttpBody(response)) {
            bodies[userData].assign(body, static_cast<std::size_t>(kiv.GetHttpBodyLen(response)));
        }
        if (userData == kNestedGet) nestedSawDepth = nesting;
    }
    kiv.FreeHttp(response);

    if (userData == kGet) {
        // A modal loop inside the callback, as a dialog box would run.
        ++nesting;
        kiv.AsyncGet(server->Url("/binary").c_str(), &OnDone, kNestedGet);
        MSG msg;
        while (!calls[kNestedGet] && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        --nesting;
    }
}

DWORD WINAPI QueueFromWorker(void*) {
    return kiv.AsyncGet(server->Url("/text").c_str(), &OnDone, kFromWorker) != 0 ? 0 : 1;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RunAsynchronous() {
    startupThread = GetCurrentThreadId();
    kiv.HttpStartup();

    Check(kiv.AsyncGet(server->Url("/text").c_str(), &OnDone, kGet) == 1, "first GET gets id 1");
    Check(kiv.AsyncPost(server->Url("/echo").c_str(), "abc", 3, &OnDone, kPost) == 2,
          "POST queued");
    Check(kiv.AsyncDownload(server->Url("/big?bytes=100000").c_str(), downloadPath.c_str(), &OnDone,
                            kDownload) == 1,
          "first download gets id 1");

    const int slowGet =
        kiv.AsyncGet(server->Url("/slow?ms=100&chunks=100").c_str(), &OnDone, kCancelledGet);
    kiv.AsyncCancel(slowGet);
    const std::string slowPath = downloadPath + ".slow";
    const int slowDownload = kiv.AsyncDownload(server->Url("/slow?ms=100&chunks=100").c_str(),
                                               slowPath.c_str(), &OnDone, kCancelledDownload);
    Sleep(300);
    const DWORD before = GetTickCount();
    kiv.AsyncCancelDownload(slowDownload);
    Check(GetTickCount() - before < 3000, "cancelling a running download returns promptly");

    HANDLE worker = CreateThread(nullptr, 0, &QueueFromWorker, nullptr, 0, nullptr);
    WaitForSingleObject(worker, INFINITE);
    DWORD workerResult = 1;
    GetExitCodeThread(worker, &workerResult);
    CloseHandle(worker);
    Check(workerResult == 0, "GET queued from another thread");

    // The host's loop: a thread timer bounds it, and once everything is
    // back, a last half second shows that the cancelled ones never call.
    UINT_PTR deadline = SetTimer(nullptr, 0, 30000, nullptr);
    UINT_PTR settle = 0;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr &&
            (msg.wParam == deadline || msg.wParam == settle)) {
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (settle == 0 && AllExpectedDone()) settle = SetTimer(nullptr, 0, 500, nullptr);
    }
    KillTimer(nullptr, deadline);
    if (settle != 0) KillTimer(nullptr, settle);

    Check(AllExpectedDone(), "every request called back within 30 s");
    for (int r = kGet; r <= kFromWorker; ++r) {
        const std::string what =
            "request " + std::to_string(r) + " called back once with status 200";
        Check(calls[r] == 1 && codes[r] == 200, what.c_str());
    }
    Check(bodies[kGet] == "hello, kivHttp", "GET body");
    Check(bodies[kPost] == "POST\n3\nabc", "POST body as echoed");
    Check(bodies[kDownload].empty() && ReadWholeFile(downloadPath) == kivtest::PatternBytes(100000),
          "download body in the file only");
    Check(bodies[kNestedGet].size() == 256, "nested GET body");
    Check(nestedSawDepth == 1, "nested GET handed back inside the callback's own loop");
    Check(calls[kCancelledGet] == 0 && calls[kCancelledDownload] == 0,
          "cancelled requests never call back");
    Check(!offThread, "every callback ran on the start-up thread");

    kiv.HttpCleanup();
    Check(kiv.AsyncGet(server->Url("/text").c_str(), &OnDone, kGet) == 0,
          "after clean-up nothing is queued");
    DeleteFileA(slowPath.c_str());
}

void RunSynchronous() {
    kivHttpResponse* response = kiv.SyncGet(server->Url("/text").c_str());
    Check(kiv.GetHttpCode(response) == 200, "blocking GET");
    const char* type = kiv.GetHttpHeader(response, "content-type");
    Check(type != nullptr && std::strcmp(type, "text/plain") == 0, "header lookup");
    kiv.FreeHttp(response);
    Check(kiv.SyncPostFile() == 0 && kiv.AsyncPostFile() == 0, "placeholders answer 0");
    Check(kiv.SyncPost(nullptr, "x", 1) == nullptr && kiv.SyncDownload(nullptr, "x") == nullptr,
          "rejected blocking calls answer null");
}

}  // namespace

int main() {
    const int threadsBefore = ThreadsOfThisProcess();
    kiv.module = LoadLibraryA("kivHttp.dll");
    Check(kiv.module != nullptr, "LoadLibraryA(\"kivHttp.dll\")");
    if (kiv.module == nullptr) return 1;
    Check(ThreadsOfThisProcess() == threadsBefore, "loading the library starts no thread");
    if (!ImportAll()) return 1;

    char tempDir[MAX_PATH];
    GetTempPathA(MAX_PATH, tempDir);
    downloadPath =
        std::string(tempDir) + "kivhttp-host-" + std::to_string(GetCurrentProcessId()) + ".bin";

    try {
        kivtest::TestServer testServer;
        server = &testServer;
        RunSynchronous();
        RunAsynchronous();
        server = nullptr;
    } catch (const std::exception& e) {
        Check(false, e.what());
    }
    DeleteFileA(downloadPath.c_str());

    Check(FreeLibrary(kiv.module) != FALSE, "FreeLibrary");
    std::printf("%s: %d failure(s)\n", failures == 0 ? "PASSED" : "FAILED", failures);
    return failures == 0 ? 0 : 1;
}
