// The About box: its texts, the libraries it credits, and its Donate button.
#include <gtest/gtest.h>

#include <algorithm>

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>

#include "player/FormAboutSrc.h"
#include "player/FormDonateSrc.h"

namespace {

using player::TFormAbout;

TEST(AboutDialogTest, ShowsTheProductAndCreditsTheLibrariesOfThisBuild) {
    player::TFormDonate donate;
    TFormAbout about(donate);
    EXPECT_EQ(about.windowTitle(), "About");
    EXPECT_EQ(about.size(), QSize(465, 272));
    EXPECT_EQ(about.sLabelFX1->text(), "Strevio");
    EXPECT_EQ(about.sLabelFX2->text(), "Version 2026 Update 1. Build date: December 10, 2026");
    EXPECT_EQ(about.ButtonOK->geometry().bottom() + 1, 272 - 8);
    EXPECT_EQ(about.ButtonDonate->y(), about.ButtonOK->y());
    EXPECT_EQ(about.ButtonDonate->geometry().right() + 1 + 8, about.ButtonOK->x());

    const QStringList lines = TFormAbout::CreditLines();
    ASSERT_EQ(lines.size(), 8);
    auto text = [](const QString& html) {
        QTextDocument doc;
        doc.setHtml(html);
        return doc.toPlainText().toStdString();
    };
    EXPECT_EQ(text(lines[0]), "Strevio is a free product by Korvanta Software.");
    EXPECT_TRUE(lines[0].contains("src=strevio"));
    EXPECT_TRUE(lines[1].isEmpty());
    EXPECT_TRUE(lines[4].contains("source.html"));
    EXPECT_EQ(text(lines[6]), "Open Source components used in Strevio are:");
    const std::string credits = text(lines[7]);
    for (const char* library :
         {"FFmpeg 5.1", "SDL-1.2.15 (LGPL v2.1)", "SoundTouch 2.3 (LGPL v2.1)", "Qt 6 (LGPL v3)"}) {
        EXPECT_NE(credits.find(library), std::string::npos) << library;
    }
    // Libraries this build does not use are not credited.
    EXPECT_EQ(credits.find("libgsm"), std::string::npos);
}

TEST(AboutDialogTest, DonateShowsTheDonationRequest) {
    player::TFormDonate donate;
    TFormAbout about(donate);
    bool shown = false;
    QTimer::singleShot(0, &donate, [&] {
        shown = donate.isVisible();
        donate.CheckDoNotShow->setChecked(true);
        donate.ButtonClose->click();
    });
    about.ButtonDonate->click();
    EXPECT_TRUE(shown);
    // The box is only read by the next due check.
    EXPECT_TRUE(donate.CheckDoNotShow->isChecked());
}

TEST(AboutDialogTest, TheTitleCastsAShadow) {
    player::TFormDonate donate;
    TFormAbout about(donate);
    // The title's light text is not darker than the dialog's background; its shadow is.
    const QImage title = about.grab(about.sLabelFX1->geometry().adjusted(0, 0, 4, 4)).toImage();
    const int background = qGray(title.pixel(title.width() - 1, title.height() - 1));
    const int darkest = std::min(background, qGray(205, 213, 222)) - 30;
    int dark = 0;
    for (int y = 0; y < title.height(); ++y) {
        for (int x = 0; x < title.width(); ++x) {
            dark += qGray(title.pixel(x, y)) < darkest ? 1 : 0;
        }
    }
    EXPECT_GT(dark, 20);
}

}  // namespace
