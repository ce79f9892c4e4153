#include "Http/Base/HeaderList.h"

#include <cctype>
#include <cstring>
#include <utility>

namespace {
const char kBlanks[] = "\t\r\n ";
const char kLineEnds[] = "\r\n";
}  // namespace

const char* HeaderList::StartsWithNoCase(const char* prefix, const char* text, int length) {
    while (*prefix != '\0' && length > 0) {
        if (std::toupper(static_cast<unsigned char>(*prefix)) !=
            std::toupper(static_cast<unsigned char>(*text))) {
            return nullptr;
        }
        ++prefix;
        ++text;
        --length;
    }
    return length > 0 ? text : nullptr;
}

const char* HeaderList::SkipChars(const char* text, const char* set) {
    while (*text != '\0') {
        if (std::strchr(set, *text) == nullptr) return text;
        ++text;
    }
    return nullptr;
}

void HeaderList::Parse(const char* text) {
    const char* p = text;
    while (p != nullptr) {
        const char* end = std::strpbrk(p, kLineEnds);
        if (end != nullptr) {
            Add(std::string(p, static_cast<std::size_t>(end - p)));
            p = SkipChars(end, kLineEnds);
        } else {
            Add(std::string(p));
            p = nullptr;
        }
    }
}

void HeaderList::Add(std::string&& line) {
    const int length = static_cast<int>(line.size());
    if (StartsWithNoCase("Set-Cookie:", line.c_str(), length) != nullptr) return;
    if (StartsWithNoCase("HTTP/", line.c_str(), length) != nullptr) lines.clear();
    lines.push_back(std::move(line));
}

const char* HeaderList::Find(const char* name) const {
    for (const std::string& line : lines) {
        const char* p = SkipChars(line.c_str(), kBlanks);
        if (p == nullptr) continue;
        const char* q = StartsWithNoCase(name, p, static_cast<int>(std::strlen(p)));
        if (q == nullptr) continue;
        q = SkipChars(q, kBlanks);
        if (q == nullptr) continue;
        q = StartsWithNoCase(":", q, static_cast<int>(std::strlen(q)));
        if (q == nullptr) continue;
        return SkipChars(q, kBlanks);
    }
    return nullptr;
}
