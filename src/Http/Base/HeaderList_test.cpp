#include "Http/Base/HeaderList.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct FindCase {
    const char* title;
    std::string text;  // raw header text as libcurl delivers it
    const char* name;
    const char* expected;  // null: no match
};

void PrintTo(const FindCase& c, std::ostream* os) { *os << c.title; }

class HeaderListFind : public testing::TestWithParam<FindCase> {};

TEST_P(HeaderListFind, FindsTheExpectedValue) {
    const FindCase& c = GetParam();
    HeaderList headers;
    headers.Parse(c.text.c_str());
    const char* value = headers.Find(c.name);
    if (c.expected == nullptr) {
        EXPECT_EQ(value, nullptr) << "got \"" << value << "\"";
    } else {
        ASSERT_NE(value, nullptr);
        EXPECT_STREQ(value, c.expected);
    }
}

const FindCase kFindCases[] = {
    {"redirect_keeps_last_block_only",
     "HTTP/1.1 302 Found\r\nLocation: /b\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n",
     "Location", nullptr},
    {"name_matches_any_case",
     "HTTP/1.1 302 Found\r\nLocation: /b\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n",
     "content-type", "text/plain"},
    {"set_cookie_with_value_dropped_in_any_case", "HTTP/1.1 200 OK\r\nsEt-CoOkIe: a=1\r\n\r\n",
     "Set-Cookie", nullptr},
    {"bare_set_cookie_stored_but_has_no_value", "HTTP/1.1 200 OK\r\nSet-Cookie:\r\n\r\n",
     "Set-Cookie", nullptr},
    {"cookie_line_with_blank_before_colon_is_kept", "HTTP/1.1 200 OK\r\nSet-Cookie : a=1\r\n",
     "Set-Cookie", "a=1"},
    {"cookie_line_with_leading_blank_is_kept", "HTTP/1.1 200 OK\r\n Set-Cookie: b=2\r\n",
     "set-cookie", "b=2"},
    {"empty_first_value_skips_to_next_line", "X-Dup:\r\nX-Dup: second\r\n", "X-Dup", "second"},
    {"blank_first_value_ends_the_search", "X-Dup:   \r\nX-Dup: second\r\n", "X-Dup", nullptr},
    {"blanks_around_name_and_colon_skipped_trailing_kept", " \tX-Pad \t:  value  \r\n", "x-pad",
     "value  "},
    {"longer_name_does_not_match_prefix", "Content-Length-Extra: 1\r\nContent-Length: 2\r\n",
     "Content-Length", "2"},
    {"name_alone_or_followed_by_blanks_is_skipped", "X-A\r\nX-A   \r\nX-A: 3\r\n", "X-A", "3"},
    {"first_of_two_values_wins", "X-Two: one\r\nX-Two: two\r\n", "X-Two", "one"},
    {"lf_only_line_ends", "A: 1\nB: 2\n", "B", "2"},
    {"cr_only_line_ends", "A: 1\rB: 2\r", "B", "2"},
    {"empty_name_matches_line_starting_with_colon", "A: 1\r\n: anonymous\r\n", "", "anonymous"},
    {"empty_name_ignores_ordinary_lines", "A: 1\r\n", "", nullptr},
    {"no_status_line_keeps_everything", "A: 1\r\nB: 2\r\n", "A", "1"},
    {"bare_http_slash_does_not_empty", "A: 1\r\nHTTP/\r\n", "A", "1"},
    {"interim_response_dropped",
     "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\nHTTP/1.1 200 OK\r\nX-Final: yes\r\n\r\n",
     "X-Interim", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, HeaderListFind, testing::ValuesIn(kFindCases),
                         [](const testing::TestParamInfo<FindCase>& info) {
                             return std::string(info.param.title);
                         });

std::vector<std::string> Lines(const HeaderList& headers) {
    return {headers.Lines().begin(), headers.Lines().end()};
}

TEST(HeaderListParse, RedirectLeavesFinalStatusAndItsHeaders) {
    HeaderList headers;
    headers.Parse(
        "HTTP/1.1 302 Found\r\nLocation: /b\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n");
    EXPECT_EQ(Lines(headers), (std::vector<std::string>{"HTTP/1.1 200 OK", "Content-Type: text/plain"}));
}

TEST(HeaderListParse, NulByteEndsTheText) {
    const char text[] = "A: 1\r\nB: 2\0C: 3\r\n";
    HeaderList headers;
    headers.Parse(text);
    EXPECT_EQ(Lines(headers), (std::vector<std::string>{"A: 1", "B: 2"}));
    EXPECT_EQ(headers.Find("C"), nullptr);
}

TEST(HeaderListParse, NullAndEmptyText) {
    HeaderList headers;
    headers.Parse(nullptr);
    EXPECT_TRUE(headers.Lines().empty());
    headers.Parse("");
    // An empty text is one empty last line, which finds nothing.
    EXPECT_EQ(Lines(headers), (std::vector<std::string>{""}));
    EXPECT_EQ(headers.Find(""), nullptr);
}

TEST(HeaderListParse, HugeBlockIsSplitCompletely) {
    std::string text = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 100000; ++i) text += "X-" + std::to_string(i) + ": v\r\n";
    text += "X-Last: end\r\n\r\n";
    HeaderList headers;
    headers.Parse(text.c_str());
    EXPECT_EQ(headers.Lines().size(), 100002u);
    EXPECT_STREQ(headers.Find("x-last"), "end");
}

TEST(HeaderListStartsWithNoCase, NeedsOneByteAfterThePrefix) {
    const char text[] = "http/1.1";
    EXPECT_EQ(HeaderList::StartsWithNoCase("HTTP/", text, 8), text + 5);
    EXPECT_EQ(HeaderList::StartsWithNoCase("HTTP/", text, 5), nullptr);  // nothing after it
    EXPECT_EQ(HeaderList::StartsWithNoCase("HTTP/", text, 3), nullptr);  // text too short
    EXPECT_EQ(HeaderList::StartsWithNoCase("", text, 1), text);
    EXPECT_EQ(HeaderList::StartsWithNoCase("HTTPS", text, 8), nullptr);
}

TEST(HeaderListSkipChars, StopsAtFirstByteOutsideTheSet) {
    const char text[] = " \t\r\nx";
    EXPECT_EQ(HeaderList::SkipChars(text, "\t\r\n "), text + 4);
    EXPECT_EQ(HeaderList::SkipChars(" \t", "\t "), nullptr);
    EXPECT_EQ(HeaderList::SkipChars("", "\t "), nullptr);
}

}  // namespace
