#include "winutils/Winutils_string.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/winutils/Flavour.h"

namespace {

TEST(FLAVOURED(ReplaceAllTest), Cases) {
    struct Case {
        const char* text;
        const char* search;
        const char* replacement;
        const char* expected;
    };
    const Case cases[] = {
        {"aabb", "ab", "", ""},  // each deletion joins a new occurrence
        {"Thanks @@P1@@for @@P2@@using", "@@P1@@", "", "Thanks for @@P2@@using"},
        {"a-b-c", "-", "+", "a+b+c"},
        {"abc", "x", "y", "abc"},
        {"abc", "", "y", "abc"},
        {"", "a", "b", ""},
        {"xxxx", "xx", "y", "yy"},
        {"aaa", "aa", "a", "a"},
        // The replacement holds the searched text: one forward pass, no endless loop.
        {"aaa", "a", "aa", "aaaaaa"},
        {"abab", "ab", "xabx", "xabxxabx"},
        // A longer replacement that joins a new occurrence each time: one pass, not an ever-growing text.
        {"aab", "ab", "bbaa", "abbaa"},
        {"baa", "ba", "aabb", "aabba"},
        // Same length: each new occurrence is still found.
        {"aab", "ab", "ba", "baa"},
        {"##CURRVER## and ##CURRVER##", "##CURRVER##", "1.2", "1.2 and 1.2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(winutils::ReplaceAll(c.text, c.search, c.replacement), c.expected)
            << c.text << " / " << c.search << " / " << c.replacement;
    }
}

TEST(FLAVOURED(ReplaceAllTest), LongTextWithManyOccurrences) {
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        text += "<br>";
    }
    EXPECT_EQ(winutils::ReplaceAll(text, "<br>", "\n"), std::string(20000, '\n'));
}

TEST(FLAVOURED(AddTrailingBackslashTest), Cases) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"/home/u/.config", "/home/u/.config/"},
        {"/home/u/.config/", "/home/u/.config/"},
        {"", "/"},
        {"/", "/"},
        {"relative", "relative/"},
    };
    for (const Case& c : cases) {
        std::string path = c.path;
        winutils::AddTrailingBackslash(path);
        EXPECT_EQ(path, c.expected) << c.path;
    }
}

TEST(FLAVOURED(TrimTest), Cases) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"  y ", "y"},
        {"\t 12\r\n", "12"},
        {std::string("\0\x1f a b \x7f", 8), "a b \x7f"},  // control bytes go; DEL is no blank
        {"   ", ""},
        {"", ""},
        {"\xc3\xa9 ", "\xc3\xa9"},  // UTF-8 bytes are above the blank
    };
    for (const Case& c : cases) {
        EXPECT_EQ(winutils::Trim(c.text), c.expected) << c.text;
    }
}

TEST(FLAVOURED(CaseTest), OnlyAsciiLettersChange) {
    struct Case {
        const char* text;
        const char* upper;
        const char* lower;
    };
    const Case cases[] = {
        {".mp4", ".MP4", ".mp4"},
        {"HttP://X.y", "HTTP://X.Y", "http://x.y"},
        {"1.2.3b-rc", "1.2.3B-RC", "1.2.3b-rc"},
        {"\xc3\xa9t\xc3\xa9", "\xc3\xa9T\xc3\xa9", "\xc3\xa9t\xc3\xa9"},  // accented letters keep their bytes
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(winutils::UpperCase(c.text), c.upper) << c.text;
        EXPECT_EQ(winutils::LowerCase(c.text), c.lower) << c.text;
    }
}

}  // namespace
