// kivfetch: a small command-line host of kivHttp. It starts the library on
// its main thread, runs that thread's message loop the way a desktop host
// does, and reports each transfer as its callback arrives there.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "Options.h"
#include "Showcase.h"
#include "Transfers.h"
#include "kivHttp.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Progress lines are redrawn in place only on a terminal; a pipe or a log
// file gets plain lines.
bool StdoutIsTerminal() {
#ifdef _WIN32
    return false;  // plain lines; the console's escape sequences are not set up
#else
    const char* term = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) && !(term && std::string(term) == "dumb");
#endif
}

int Fetch(const Options& options, bool live) {
    kivHttpStartup();
    int status = 0;
    {
        TransferSet transfers(live);
        std::set<std::string> names;
        for (const std::string& url : options.urls) {
            switch (options.mode) {
                case Mode::Get:
                    transfers.Get(url, options.sync);
                    break;
                case Mode::Post:
                    transfers.Post(url, options.postData, options.sync);
                    break;
                case Mode::Download: {
                    // Two URLs ending alike get "name.ext", "name-2.ext", ...
                    const std::string base = FileNameFor(url);
                    const std::size_t dot = base.rfind('.');
                    const std::size_t cut = dot == 0 || dot == std::string::npos ? base.size() : dot;
                    std::string name = base;
                    for (int n = 2; !names.insert(name).second; ++n) {
                        name = base.substr(0, cut) + "-" + std::to_string(n) + base.substr(cut);
                    }
                    transfers.Download(url, options.downloadDir + "/" + name, options.sync);
                    break;
                }
                default:
                    break;
            }
        }
        transfers.Wait(options.cancelAfterMs);
        status = transfers.AnyFailed() ? 1 : 0;
    }
    kivHttpCleanup();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines appear as they happen, also in a pipe

    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "kivfetch: %s (see kivfetch --help)\n", error.c_str());
        return 2;
    }
    const bool live = StdoutIsTerminal();
    switch (options.mode) {
        case Mode::Help:
            std::fputs(kUsage, stdout);
            return 0;
        case Mode::Showcase:
            return RunShowcase(live);
        default:
            return Fetch(options, live);
    }
}
