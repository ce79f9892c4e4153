// libFuzzer target for header parsing and look-up: HeaderList::Parse on the
// bytes a server might send, then Find with names taken from the input.
//
// Input: a header block, optionally followed by a NUL and NUL-separated
// names to look up. Parse reads up to the first NUL, as it does in the
// library. Besides the names after the NUL, every line's own name (in both
// letter cases, and cut short) and a few common names are looked up, so
// that seeds made of plain header blocks exercise matches and near misses.
//
// Beyond the sanitizers' checks, the results are compared with a plain,
// independent model of what Parse and Find are documented to do
// (HeaderList.h); any difference aborts.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "Http/Base/HeaderList.h"

namespace {

void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "header_fuzz: %s: [%s]\n", what, detail.c_str());
    std::abort();
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool SameLetters(char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

// `line` begins with `prefix` (any letter case) and has a byte after it.
bool BeginsWith(const std::string& line, std::size_t at, const std::string& prefix) {
    if (line.size() - at <= prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (!SameLetters(line[at + i], prefix[i])) return false;
    }
    return true;
}

// The model of Parse and Add: lines split at runs of CR/LF, "Set-Cookie:"
// lines dropped, a status line starting the list afresh.
std::vector<std::string> ModelParse(const std::string& text) {
    std::vector<std::string> lines;
    auto add = [&lines](const std::string& line) {
        if (BeginsWith(line, 0, "Set-Cookie:")) return;
        if (BeginsWith(line, 0, "HTTP/")) lines.clear();
        lines.push_back(line);
    };
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            add(text.substr(start));
            break;
        }
        add(text.substr(start, end - start));
        start = text.find_first_not_of("\r\n", end);
        if (start == std::string::npos) break;
    }
    return lines;
}

// The model of Find, as offsets: {line, column} of the value, or {-1, -1}.
// The first line of the form  [blanks] name [blanks] ':' <more>  decides:
// its value starts at the first non-blank after the colon; a line whose
// colon is followed by blanks only ends the search with nothing.
std::pair<long, long> ModelFind(const std::vector<std::string>& lines, const std::string& name) {
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        std::size_t i = 0;
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size() || !BeginsWith(line, i, name)) continue;
        i += name.size();
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size() || line[i] != ':' || i + 1 == line.size()) continue;
        ++i;
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size()) return {-1, -1};
        return {static_cast<long>(n), static_cast<long>(i)};
    }
    return {-1, -1};
}

void CheckFind(const HeaderList& headers, const std::vector<std::string>& model,
               const std::string& name) {
    const char* found = headers.Find(name.c_str());
    const std::pair<long, long> expected = ModelFind(model, name);
    if (found == nullptr) {
        if (expected.first >= 0) Fail("Find missed a value", name);
        return;
    }
    if (expected.first < 0) Fail("Find found a value where there is none", name);
    long n = 0;
    for (const std::string& line : headers.Lines()) {
        if (n == expected.first) {
            if (found != line.c_str() + expected.second) Fail("Find chose another value", name);
            if (IsBlank(*found) || *found == '\0') Fail("value starts with a blank", name);
            return;
        }
        ++n;
    }
    Fail("Find pointed outside the lines", name);
}

std::string Flip(std::string s, bool upper) {
    for (char& c : s) {
        c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                    : std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

const char* const kCommonNames[] = {"Content-Type", "content-length", "Location", "Set-Cookie",
                                    "HTTP/1.1", "", ":", " ", "X"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string text = input.substr(0, nul);

    HeaderList headers;
    headers.Parse(text.c_str());

    // The stored lines are the model's, in order, and well-formed.
    const std::vector<std::string> model = ModelParse(text);
    if (headers.Lines().size() != model.size()) Fail("line count", text.substr(0, 200));
    std::size_t n = 0;
    for (const std::string& line : headers.Lines()) {
        if (line != model[n]) Fail("line differs", line.substr(0, 200));
        if (line.find_first_of("\r\n") != std::string::npos) Fail("line ending kept", line);
        if (n > 0 && BeginsWith(line, 0, "HTTP/")) Fail("status line not first", line);
        ++n;
    }

    std::vector<std::string> names(std::begin(kCommonNames), std::end(kCommonNames));
    if (nul != std::string::npos) {
        std::size_t start = nul + 1;
        while (start <= input.size()) {
            const std::size_t end = std::min(input.find('\0', start), input.size());
            names.push_back(input.substr(start, end - start));
            start = end + 1;
        }
    }
    std::size_t ownNames = 0;
    for (const std::string& line : headers.Lines()) {
        if (++ownNames > 64) break;
        const std::size_t colon = line.find(':');
        std::string own = line.substr(0, colon);
        const std::size_t first = own.find_first_not_of(" \t");
        own = first == std::string::npos ? std::string() : own.substr(first);
        names.push_back(own);
        names.push_back(Flip(own, true));
        names.push_back(Flip(own, false));
        if (!own.empty()) names.push_back(own.substr(0, own.size() - 1));
    }
    for (const std::string& name : names) CheckFind(headers, model, name);

    // Look-ups change nothing.
    if (headers.Lines().size() != model.size()) Fail("Find changed the list", "");

    // The static helpers on the raw text, with every length up to its end.
    if (!text.empty()) {
        const int length = static_cast<int>(std::min<std::size_t>(text.size(), 1u << 20));
        const char* after = HeaderList::StartsWithNoCase("http/", text.c_str(), length);
        const bool begins = BeginsWith(text, 0, "HTTP/");
        if ((after != nullptr) != begins || (begins && after != text.c_str() + 5)) {
            Fail("StartsWithNoCase", text.substr(0, 200));
        }
        const char* skipped = HeaderList::SkipChars(text.c_str(), " \t\r\n");
        const std::size_t expected = text.find_first_not_of(" \t\r\n");
        if ((skipped == nullptr) != (expected == std::string::npos) ||
            (skipped != nullptr && skipped != text.c_str() + expected)) {
            Fail("SkipChars position", text.substr(0, 200));
        }
    }
    return 0;
}
