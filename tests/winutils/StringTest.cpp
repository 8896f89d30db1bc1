#include "winutils/Winutils_string.h"

#include <gtest/gtest.h>
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

}  // namespace
