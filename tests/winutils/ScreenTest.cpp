#include "winutils/Winutils_screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/qt/MessageBox.h"
#include "tests/winutils/Flavour.h"

namespace {

#ifdef WINUTILS_POLLWICK
const std::string kWord = "KorvantaPollwick";
#else
const std::string kWord = "Strevio";
#endif

class MessageBoxTestFixture : public ::testing::Test {
protected:
    std::vector<platform::MessageBoxRequest> shown_;
    platform::ScopedMessageBoxHook hook_{[this](const platform::MessageBoxRequest& request) {
        shown_.push_back(request);
        return platform::TMessageResult::Ok;
    }};
};

using FLAVOURED(MessageBoxTest) = MessageBoxTestFixture;

TEST_F(FLAVOURED(MessageBoxTest), CaptionsCarryTheProgramsWord) {
    winutils::ShowWarningMessage("Could not %s %d", "open", 3);
    winutils::ShowErrorMessage("%s", "Cannot play video - player not allocated");

    ASSERT_EQ(shown_.size(), 2u);
    EXPECT_EQ(shown_[0].caption, kWord + " Warning");
    EXPECT_EQ(shown_[0].text, "Could not open 3");
    EXPECT_EQ(shown_[1].caption, kWord + " Error");
    EXPECT_EQ(shown_[1].text, "Cannot play video - player not allocated");
    // Both boxes carry the warning icon and one OK button.
    for (const auto& request : shown_) {
        EXPECT_EQ(request.kind, platform::TMessageKind::Warning);
        EXPECT_EQ(request.buttons, platform::TMessageButtons::Ok);
    }
}

TEST_F(FLAVOURED(MessageBoxTest), ArgumentTextIsShownLiterally) {
    winutils::ShowWarningMessage("%s", "100% <b>sure</b> %s %n");
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].text, "100% <b>sure</b> %s %n");
}

TEST_F(FLAVOURED(MessageBoxTest), OverlongTextIsCutAtACharacterBoundary) {
    std::string text;
    for (int i = 0; i < 5000; ++i) {
        text += "\xc3\xa9";  // two bytes each
    }
    winutils::ShowWarningMessage("%s", text.c_str());
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].text.size(), 8190u);  // 8191 would split a character
    EXPECT_EQ(shown_[0].text, text.substr(0, 8190));

    shown_.clear();
    winutils::ShowErrorMessage("%s", std::string(9000, 'a').c_str());
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].text, std::string(8191, 'a'));
}

}  // namespace
