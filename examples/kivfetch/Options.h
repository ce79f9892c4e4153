// kivfetch's command line.
#ifndef KIVFETCH_OPTIONS_H
#define KIVFETCH_OPTIONS_H

#include <string>
#include <vector>

enum class Mode { Showcase, Help, Get, Post, Download };

struct Options {
    Mode mode = Mode::Showcase;
    bool sync = false;               // blocking calls instead of the queue and threads
    int cancelAfterMs = -1;          // -1: let every transfer run to its end
    std::string downloadDir;         // --download
    std::string postData;            // --data, with @FILE already read
    std::vector<std::string> urls;   // the one URL of --post, or the URLs to fetch
};

// Fills `options` from the command line. On bad input returns false with a
// one-line reason in `error` (checked here too: --data @FILE can be read,
// the --download directory can be written to).
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

extern const char kUsage[];

#endif
