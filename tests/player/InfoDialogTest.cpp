// The notice dialog: the multi-monitor notice, its "do not display" box, and unknown notices.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "player/FormInfoSrc.h"

namespace {

using player::TFormInfo;

TEST(InfoDialogTest, NoticeZeroShowsItsTextAndTheCallerSeesTheTickedBox) {
    TFormInfo info;
    bool cancelEnabled = true;
    QString caption;
    QTimer::singleShot(0, &info, [&] {
        cancelEnabled = info.ButtonCancel->isEnabled();
        caption = info.windowTitle();
        info.CheckDoNotDisplay->setChecked(true);
        info.ButtonOK->click();
    });
    EXPECT_TRUE(info.ShowInfo(0, "", ""));
    EXPECT_FALSE(cancelEnabled);
    EXPECT_EQ(caption, "Important information");
    EXPECT_TRUE(info.CheckDoNotDisplay->isChecked());
    EXPECT_TRUE(info.ButtonCancel->isEnabled());
    const QString text = info.LabelInfo->text();
    EXPECT_TRUE(
        text.startsWith("More than one monitor detected.\n\nIt seems like you have more than 1 monitor"));
    EXPECT_TRUE(text.endsWith("un-check the 'Use DirectDraw instead of GDI when available' option."));
    EXPECT_FALSE(text.contains("@@"));
    EXPECT_EQ(info.LabelInfo->x(), 12 + 32 + 16);
    EXPECT_EQ(info.LabelInfo->width(), 393 - info.LabelInfo->x() - 16);
    EXPECT_EQ(info.CheckDoNotDisplay->text(), " In the future, do not display this message.");
    // The box sits 8 pixels above the bottom of the client area fitted to the text.
    EXPECT_EQ(info.CheckDoNotDisplay->geometry().bottom() + 1 + 8, info.height());

    // The next showing starts with the box clear.
    QTimer::singleShot(0, &info, [&] { info.ButtonOK->click(); });
    EXPECT_TRUE(info.ShowInfo(0, "", ""));
    EXPECT_FALSE(info.CheckDoNotDisplay->isChecked());
}

TEST(InfoDialogTest, UnknownNoticeShowsNothingAndIsCancelled) {
    TFormInfo info;
    EXPECT_FALSE(info.ShowInfo(3, "a", "b"));
    EXPECT_FALSE(info.isVisible());
}

}  // namespace
