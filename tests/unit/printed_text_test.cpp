// How the reference host prints a text: UTF-8 text as it is, everything else escaped.
#include <gtest/gtest.h>

#include <string>

#include "tools/printed_text.h"

namespace {

struct Case {
    const char* name;
    std::string text;
    const char* printed;
};

TEST(PrintedText, TextIsPrintedAsTextAndEverythingElseEscaped) {
    const Case cases[] = {
        {"ASCII", "Hello 1", "\"Hello 1\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line end, return, tab", "a\nb\rc\td", "\"a\\nb\\rc\\td\""},
        {"C0 control, zero, DEL", std::string("\x01\0\x7f", 3), "\"\\x01\\x00\\x7f\""},
        {"two-byte UTF-8",
         "K\xc3\xbc"
         "che",
         "\"K\xc3\xbc"
         "che\""},
        {"three and four bytes", "\xe2\x82\xac \xf0\x9f\x98\x80",
         "\"\xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"no-break space", "\xc2\xa0", "\"\xc2\xa0\""},
        {"cp1252 byte",
         "K\xfc"
         "che",
         "\"K\\xfcche\""},
        {"C1 control", "\xc2\x85", "\"\\xc2\\x85\""},
        {"stray continuation",
         "\x80"
         "a",
         "\"\\x80a\""},
        {"cut short at the end", "a\xe2\x82", "\"a\\xe2\\x82\""},
        {"cut short by ASCII",
         "\xc3"
         "a",
         "\"\\xc3a\""},
        {"overlong", "\xc0\xaf\xe0\x80\xaf", "\"\\xc0\\xaf\\xe0\\x80\\xaf\""},
        {"surrogate", "\xed\xa0\x80", "\"\\xed\\xa0\\x80\""},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\"\\xf4\\x90\\x80\\x80\""},
        {"largest", "\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quoted(c.text.data(), c.text.size()), c.printed) << c.name;
    }
}

}  // namespace
