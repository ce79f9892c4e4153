#pragma once

#include <list>
#include <string>

// The header lines of the last response block a transfer received, in
// arrival order, without the lines that set cookies.
class HeaderList {
public:
    // Splits `text` at every run of CR/LF bytes and adds each line; stops at
    // the first NUL. A null `text` adds nothing.
    void Parse(const char* text);

    // Drops "Set-Cookie:" lines; a status line ("HTTP/...") starts the list
    // afresh, so that only the last block of a redirect chain stays.
    void Add(const std::string& line) { Add(std::string(line)); }
    void Add(std::string&& line);

    // The value of the first line whose header name is `name` (any case),
    // from the first non-blank byte after the colon to the end of the line;
    // null when no line matches, or when the first match has no value.
    const char* Find(const char* name) const;

    // The position right after `prefix` when `text` (of which `length` bytes
    // may be read) starts with it, ignoring case, and has at least one more
    // byte; null otherwise.
    static const char* StartsWithNoCase(const char* prefix, const char* text, int length);

    // The first byte of `text` that is not in `set`; null at the end of text.
    static const char* SkipChars(const char* text, const char* set);

    const std::list<std::string>& Lines() const { return lines; }

private:
    std::list<std::string> lines;
};
