#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#ifndef KIV_LIBRARY_FILE
#error "KIV_LIBRARY_FILE names the built library"
#endif

namespace {

// Every dynamic symbol the library defines, as the dynamic linker sees them.
std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    pclose(pipe);
    return names;
}

TEST(Exports, LibraryDefinesExactlyTheSeventeenFunctions) {
    const std::set<std::string> expected = {
        "kivAsyncCancel",  "kivAsyncCancelDownload", "kivAsyncDownload", "kivAsyncGet",
        "kivAsyncPost",    "kivAsyncPostFile",       "kivFreeHttp",      "kivGetHttpBody",
        "kivGetHttpBodyLen", "kivGetHttpCode",       "kivGetHttpHeader", "kivHttpCleanup",
        "kivHttpStartup",  "kivSyncDownload",        "kivSyncGet",       "kivSyncPost",
        "kivSyncPostFile"};
    EXPECT_EQ(DefinedDynamicSymbols(KIV_LIBRARY_FILE), expected);
}

}  // namespace
