// The donation request: when it is shown, its "do not show again" box, and the pages its buttons open.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "player/Configuration.h"
#include "player/FormDonateSrc.h"
#include "tests/support/TestEnv.h"

namespace {

using player::TFormDonate;

class DonateDialogTest : public ::testing::Test {
protected:
    // Shows the request as due and closes it at once, ticking the box first when asked to.
    bool Due(int32_t plays, bool tick = false) {
        config_.code_x = plays;
        QTimer::singleShot(0, &dialog_, [this, tick] {
            if (tick) {
                dialog_.CheckDoNotShow->setChecked(true);
            }
            dialog_.ButtonClose->click();
        });
        return player::ShowDonateIfDue(config_, dialog_);
    }

    testsupport::IsolatedHome home_;
    player::Configuration config_;
    TFormDonate dialog_;
};

TEST_F(DonateDialogTest, AsksOnTheSecondPlayAndEveryFourth) {
    const struct {
        int32_t plays;
        bool asks;
    } cases[] = {{0, true},  {1, false}, {2, true},  {3, false}, {4, true},
                 {6, false}, {8, true},  {12, true}, {-4, true}, {-3, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(Due(c.plays), c.asks) << c.plays;
    }
    EXPECT_EQ(config_.show_donate, 1);
}

TEST_F(DonateDialogTest, TickedBoxStopsFurtherRequestsAndIsSaved) {
    EXPECT_TRUE(Due(4, true));
    EXPECT_EQ(config_.show_donate, 0);
    const std::string saved = testsupport::ReadFile(config_.getDataFile());
    EXPECT_NE(saved.find("show_donate=0"), std::string::npos) << saved;
    EXPECT_FALSE(Due(8));
}

TEST_F(DonateDialogTest, ShowsItsTextsAndSize) {
    EXPECT_EQ(dialog_.windowTitle(), "Please read this");
    // The client area is 630 x 442 at least: taller when the fonts need more room for the texts.
    EXPECT_EQ(dialog_.width(), 630);
    EXPECT_GE(dialog_.height(), 442);
    EXPECT_EQ(dialog_.CheckDoNotShow->text(), "I already donated or do not want to donate");
    EXPECT_EQ(dialog_.ButtonClose->geometry().bottom() + 1, dialog_.height() - 8);
    EXPECT_EQ(dialog_.CheckDoNotShow->geometry().bottom() + 1, dialog_.height() - 8);
    EXPECT_EQ(dialog_.ButtonDonateByOffers->geometry().right() + 1, 630 - 8);
    EXPECT_TRUE(dialog_.ButtonDonateByOffers->isDefault());
}

TEST_F(DonateDialogTest, ButtonsAndPicturesOpenTheirPages) {
    testsupport::TempDir bin;
    const auto log = bin / "opened.txt";
    testsupport::WriteFile(bin / "xdg-open", "#!/bin/sh\necho \"$1\" >> '" + log.string() + "'\n");
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    testsupport::ScopedEnv path("PATH", bin.path().string() + ":" + std::getenv("PATH"));
    QPushButton* buttons[] = {dialog_.ButtonDonateByOffers, dialog_.ImageDonateByPayment,
                              dialog_.ButtonDonateByPayPal};
    for (QPushButton* b : buttons) {
        b->click();
    }
    const std::string expected = player::DonationPage("free") + "\n" + player::DonationPage("payment") +
                                 "\n" + player::DonationPage("paypal") + "\n";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (testsupport::ReadFile(log).size() < expected.size() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The openers run on their own, so they may finish in any order.
    const std::string opened = testsupport::ReadFile(log);
    for (const char* type : {"free", "payment", "paypal"}) {
        EXPECT_NE(opened.find(player::DonationPage(type) + "\n"), std::string::npos) << opened;
    }
    EXPECT_EQ(opened.size(), expected.size());
    EXPECT_EQ(player::DonationPage("free").rfind("donate.html?type=free"),
              player::DonationPage("free").size() - 21);
}

}  // namespace
