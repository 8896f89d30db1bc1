// Every window of the player as a user sees it with the skin: the captions the window manager reads, every
// text whole inside its control, and every text readable on what is behind it.
#include <gtest/gtest.h>

#include <QtGui/qguiapplication_platform.h>
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "player/ApplicationSetup.h"
#include "player/Configuration.h"
#include "player/FormAboutSrc.h"
#include "player/FormDonateSrc.h"
#include "player/FormInfoSrc.h"
#include "player/FormMainSrc.h"
#include "player/FormSettingsSrc.h"
#include "tests/support/TestEnv.h"
#include "winutils/Winutils_screen.h"

// Last: Xlib's macros would break the Qt headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

using namespace std::chrono_literals;

// ---- What the tests measure -----------------------------------------------------------------------------

// Relative luminance and contrast ratio as the accessibility guidelines define them.
double Luminance(const QColor& c) {
    auto channel = [](double v) {
        v /= 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

double Contrast(const QColor& a, const QColor& b) {
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The name a window manager reads from the window, through a connection of its own.
std::optional<std::string> NetWmName(WId window) {
    // Sends what Qt still holds for the server, then asks as another client would.
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    XSync(x11->display(), False);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return std::nullopt;
    }
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> name;
    if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), 0, 1024, False,
                           XInternAtom(display, "UTF8_STRING", False), &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr && format == 8) {
        name = std::string(reinterpret_cast<const char*>(data), count);
    }
    if (data != nullptr) {
        XFree(data);
    }
    XCloseDisplay(display);
    return name;
}

// Where the style puts a button's or a check box's text.
QRect ButtonTextRoom(QAbstractButton* button, QStyle::SubElement element) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    return button->style()->subElementRect(element, &option, button);
}

// A text control that does not show all of its text, or that is cut by what holds it; empty when whole.
std::vector<std::string> CutTexts(QWidget* window) {
    std::vector<std::string> faults;
    auto report = [&](QWidget* w, const QString& text, const char* why) {
        faults.push_back(std::string(w->metaObject()->className()) + " \"" + text.left(40).toStdString() +
                         "\": " + why);
    };
    // Inside a scrolling area a text may go past the visible part: it scrolls there.
    auto cutByHolder = [](QWidget* w) {
        for (QWidget* child = w; child->parentWidget() != nullptr && !child->isWindow();
             child = child->parentWidget()) {
            QWidget* holder = child->parentWidget();
            if (qobject_cast<QAbstractScrollArea*>(holder->parentWidget()) != nullptr) {
                return false;
            }
            if (!holder->rect().contains(child->geometry())) {
                return true;
            }
        }
        return false;
    };
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window)) {
            continue;
        }
        QString text;
        std::optional<QSize> needed;
        QRect room = w->contentsRect();
        if (auto* label = qobject_cast<QLabel*>(w)) {
            text = label->text();
            if (text.isEmpty()) {
                continue;
            }
            needed = label->wordWrap() ? QSize(label->width(), label->heightForWidth(label->width()))
                                       : label->sizeHint();
            room = label->rect();
        } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
            text = box->text();
            room = ButtonTextRoom(box, QStyle::SE_CheckBoxContents);
            needed = box->fontMetrics().size(Qt::TextShowMnemonic, text);
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            text = button->text();
            room = ButtonTextRoom(button, QStyle::SE_PushButtonContents);
            needed = button->fontMetrics().size(Qt::TextShowMnemonic, text);
            if (!button->icon().isNull()) {
                needed->rwidth() += button->iconSize().width() + 4;
            }
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            text = group->title();
            QStyleOptionGroupBox option;
            option.initFrom(group);
            option.text = text;
            option.subControls = QStyle::SC_GroupBoxLabel;
            room =
                group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
            // Blanks after a title never show.
            QString shown = text;
            while (shown.endsWith(QLatin1Char(' '))) {
                shown.chop(1);
            }
            needed = group->fontMetrics().size(Qt::TextShowMnemonic, shown);
        }
        if (!needed || text.trimmed().isEmpty()) {
            continue;
        }
        if (needed->width() > room.width() || needed->height() > room.height()) {
            report(w, text,
                   ("text of " + std::to_string(needed->width()) + "x" + std::to_string(needed->height()) +
                    " larger than its room of " + std::to_string(room.width()) + "x" +
                    std::to_string(room.height()))
                       .c_str());
        }
        if (cutByHolder(w)) {
            report(w, text, "cut by what holds it");
        }
    }
    // Two texts side by side must not cover each other.
    const QList<QWidget*> all = window->findChildren<QWidget*>();
    for (QWidget* a : all) {
        for (QWidget* b : all) {
            const bool texts = (qobject_cast<QLabel*>(a) || qobject_cast<QAbstractButton*>(a)) &&
                               (qobject_cast<QLabel*>(b) || qobject_cast<QAbstractButton*>(b));
            if (a < b && texts && a->parentWidget() == b->parentWidget() && a->isVisibleTo(window) &&
                b->isVisibleTo(window) && a->geometry().intersects(b->geometry())) {
                report(a, QStringLiteral("overlaps ") + b->objectName(), "covers another text");
            }
        }
    }
    return faults;
}

// One text as drawn: where it is in the window's picture and the colour it is drawn in.
struct TextSample {
    std::string kind;
    QRect area;  // in the window's coordinates
    QColor text;
};

// The colour most of the area shows, other than the text's own: what the text stands on.
QColor Background(const QImage& picture, const QRect& area, const QColor& text) {
    QMap<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb pixel = picture.pixel(x, y) | 0xff000000u;
            if (pixel != (text.rgb() | 0xff000000u)) {
                ++counts[pixel];
            }
        }
    }
    QRgb best = 0;
    int most = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            best = it.key();
        }
    }
    return QColor::fromRgb(best);
}

// How many pixels of the area are drawn in (nearly) the text's colour: the text is really drawn in it. A
// little smoothing may remain at a glyph's edge.
int TextPixels(const QImage& picture, const QRect& area, const QColor& text) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            if (std::abs(c.red() - text.red()) + std::abs(c.green() - text.green()) +
                    std::abs(c.blue() - text.blue()) <=
                40) {
                ++count;
            }
        }
    }
    return count;
}

// Every enabled text of the window, by the kind of control that draws it.
std::vector<TextSample> TextSamples(QWidget* window) {
    std::vector<TextSample> samples;
    auto add = [&](const std::string& kind, QWidget* w, const QRect& local, QPalette::ColorRole role) {
        const QRect area = QRect(w->mapTo(window, local.topLeft()), local.size()) & window->rect();
        if (!area.isEmpty()) {
            samples.push_back({kind, area, w->palette().color(role)});
        }
    };
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || !w->isEnabled()) {
            continue;
        }
        if (auto* label = qobject_cast<QLabel*>(w); label != nullptr && !label->text().isEmpty()) {
            add("label", label, label->contentsRect(), label->foregroundRole());
            if (label->text().contains(QStringLiteral("<a "))) {
                add("link", label, label->contentsRect(), QPalette::Link);
            }
        } else if (auto* box = qobject_cast<QCheckBox*>(w); box != nullptr && !box->text().isEmpty()) {
            add("check box", box, ButtonTextRoom(box, QStyle::SE_CheckBoxContents), box->foregroundRole());
        } else if (auto* button = qobject_cast<QPushButton*>(w);
                   button != nullptr && !button->text().isEmpty()) {
            const QRect contents = ButtonTextRoom(button, QStyle::SE_PushButtonContents);
            add("button", button,
                QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
                                    button->fontMetrics().size(Qt::TextShowMnemonic, button->text()),
                                    contents),
                button->foregroundRole());
        } else if (auto* group = qobject_cast<QGroupBox*>(w); group != nullptr && !group->title().isEmpty()) {
            QStyleOptionGroupBox option;
            option.initFrom(group);
            option.text = group->title();
            option.subControls = QStyle::SC_GroupBoxLabel;
            add("group box", group,
                group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group),
                group->foregroundRole());
        } else if (auto* tabs = qobject_cast<QTabBar*>(w)) {
            for (int i = 0; i < tabs->count(); ++i) {
                add(i == tabs->currentIndex() ? "current tab" : "tab", tabs,
                    tabs->tabRect(i).adjusted(4, 4, -4, -4), tabs->foregroundRole());
            }
        } else if (auto* header = qobject_cast<QHeaderView*>(w)) {
            for (int i = 0; i < header->count() && i < 3; ++i) {
                if (!header->isSectionHidden(i)) {
                    add("header", header->viewport(),
                        QRect(header->sectionViewportPosition(i) + 3, 2, header->sectionSize(i) - 6,
                              header->viewport()->height() - 4),
                        QPalette::ButtonText);
                }
            }
        } else if (auto* view = qobject_cast<QAbstractItemView*>(w);
                   view != nullptr && view->model() != nullptr) {
            for (int row = 0; row < view->model()->rowCount(view->rootIndex()) && row < 4; ++row) {
                const QModelIndex index = view->model()->index(row, 0, view->rootIndex());
                const bool selected =
                    view->selectionModel() != nullptr && view->selectionModel()->isSelected(index);
                add(selected ? "selected item" : "item", view->viewport(), view->visualRect(index),
                    selected ? QPalette::HighlightedText : QPalette::Text);
            }
        } else if (auto* combo = qobject_cast<QComboBox*>(w); combo != nullptr && !combo->isEditable()) {
            QStyleOptionComboBox option;
            option.initFrom(combo);
            add("combo box", combo,
                combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField,
                                               combo),
                combo->foregroundRole());
        } else if (auto* edit = qobject_cast<QLineEdit*>(w); edit != nullptr && !edit->text().isEmpty()) {
            add("line edit", edit, edit->contentsRect(), QPalette::Text);
        } else if (auto* memo = qobject_cast<QPlainTextEdit*>(w);
                   memo != nullptr && !memo->toPlainText().isEmpty()) {
            add("memo", memo->viewport(), memo->viewport()->rect(), QPalette::Text);
        }
    }
    return samples;
}

// ---- The windows ----------------------------------------------------------------------------------------

// Runs open(), which shows a window modally, and look() on that window while it is up; then closes it.
void WhileShown(const std::function<void()>& open, const std::function<void(QWidget&)>& look) {
    bool looked = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* shown = QApplication::activeModalWidget();
        if (shown == nullptr || !shown->isVisible()) {
            return;
        }
        poll.stop();
        look(*shown);
        looked = true;
        shown->close();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        if (QWidget* shown = QApplication::activeModalWidget()) {
            shown->close();
        }
    });
    poll.start();
    guard.start(30s);
    open();
    EXPECT_TRUE(looked) << "the window did not come up";
}

class DialogLookTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { player::SetUpApplication(*qobject_cast<QApplication*>(qApp)); }

    void SetUp() override {
        files_ = std::make_unique<testsupport::TempDir>();
        for (const char* name : {"clip.mp4", "song.mp3", "notes.txt"}) {
            testsupport::WriteFile(*files_ / name, "x");
        }
        config_ = std::make_unique<player::Configuration>();
        main_ = std::make_unique<player::TFormMain>(*config_, QStringList{});
        main_->show();
        donate_ = std::make_unique<player::TFormDonate>(main_.get());
        about_ = std::make_unique<player::TFormAbout>(*donate_, main_.get());
        info_ = std::make_unique<player::TFormInfo>(main_.get());
        settings_ = std::make_unique<player::TFormSettings>(*config_, main_.get());
        settings_->HasAdminRights = [this] { return admin_; };
    }

    void TearDown() override {
        settings_.reset();
        info_.reset();
        about_.reset();
        donate_.reset();
        main_.reset();
        config_.reset();
    }

    // Every dialog of the player, each with the caption it must carry, shown in turn.
    struct Dialog {
        std::string caption;
        std::function<void()> open;
        std::function<void(QWidget&)> prepare;
    };
    std::vector<Dialog> Dialogs() {
        auto page = [this](int index) {
            return [this, index](QWidget&) { settings_->sPageControl1->setCurrentIndex(index); };
        };
        auto settings = [this] { settings_->exec(); };
        return {
            {"Settings", settings, page(0)},
            {"Settings", settings, page(1)},
            {"Settings",
             [this, settings] {
                 admin_ = false;
                 settings();
                 admin_ = true;
             },
             page(0)},
            {"About", [this] { about_->exec(); }, {}},
            {"Please read this", [this] { donate_->exec(); }, {}},
            {"Important information", [this] { info_->ShowInfo(0, "", ""); }, {}},
            {"Strevio Warning",
             [] {
                 winutils::ShowWarningMessage("%s",
                                              "Changing the file association for some of the selected file "
                                              "types failed. Those that failed have been de-selected in the "
                                              "list.");
             },
             {}},
            {"Strevio Error",
             [] { winutils::ShowErrorMessage("%s", "Cannot play video - player not allocated"); },
             {}},
            {"Open",
             [this] {
                 // The file dialog as the main window opens it.
                 QFileDialog dialog(main_.get());
                 dialog.setNameFilters(player::OpenDialogNameFilters());
                 dialog.setFileMode(QFileDialog::ExistingFile);
                 dialog.setSizeGripEnabled(true);
                 dialog.setDirectory(QString::fromStdString(files_->path().string()));
                 dialog.exec();
             },
             [](QWidget& dialog) {
                 // Wait for the folder's files to be listed, and select one.
                 auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("treeView"));
                 const auto until = std::chrono::steady_clock::now() + 30s;
                 while (view != nullptr && view->model()->rowCount(view->rootIndex()) < 2 &&
                        std::chrono::steady_clock::now() < until) {
                     QApplication::processEvents(QEventLoop::AllEvents, 50);
                 }
                 if (view != nullptr && view->model()->rowCount(view->rootIndex()) > 0) {
                     view->setCurrentIndex(view->model()->index(0, 0, view->rootIndex()));
                 }
                 if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                     name->setText(QStringLiteral("clip.mp4"));
                 }
             }},
        };
    }

    // Shows each dialog, lets its layout settle and hands it to look().
    void ForEachDialog(const std::function<void(const Dialog&, QWidget&)>& look) {
        for (const Dialog& dialog : Dialogs()) {
            WhileShown(dialog.open, [&](QWidget& shown) {
                if (dialog.prepare) {
                    dialog.prepare(shown);
                }
                QApplication::processEvents();
                look(dialog, shown);
            });
        }
    }

    testsupport::IsolatedHome home_;
    std::unique_ptr<testsupport::TempDir> files_;
    std::unique_ptr<player::Configuration> config_;
    std::unique_ptr<player::TFormMain> main_;
    std::unique_ptr<player::TFormDonate> donate_;
    std::unique_ptr<player::TFormAbout> about_;
    std::unique_ptr<player::TFormInfo> info_;
    std::unique_ptr<player::TFormSettings> settings_;
    bool admin_ = true;
};

TEST_F(DialogLookTest, WindowManagerReadsEachCaptionExactly) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
        GTEST_SKIP() << "needs an X server";
    }
    EXPECT_EQ(NetWmName(main_->winId()), std::optional<std::string>("Strevio"));
    ForEachDialog([](const Dialog& dialog, QWidget& shown) {
        EXPECT_EQ(NetWmName(shown.winId()), std::optional<std::string>(dialog.caption));
    });
}

TEST_F(DialogLookTest, EveryTextIsWholeInItsControl) {
    ForEachDialog([](const Dialog& dialog, QWidget& shown) {
        for (const std::string& fault : CutTexts(&shown)) {
            ADD_FAILURE() << dialog.caption << ": " << fault;
        }
    });
}

TEST_F(DialogLookTest, AboutCreditsScrollToTheirLastLine) {
    WhileShown([this] { about_->exec(); },
               [this](QWidget&) {
                   QApplication::processEvents();
                   QLabel* credits = about_->HTMListBox1;
                   auto* scroller = about_->findChild<QScrollArea*>();
                   ASSERT_NE(scroller, nullptr);
                   EXPECT_GE(credits->height(), credits->heightForWidth(credits->width()));
                   // The last line can be scrolled into the panel.
                   EXPECT_EQ(scroller->verticalScrollBar()->maximum(),
                             std::max(0, credits->height() - scroller->viewport()->height()));
                   EXPECT_LE(credits->width(), scroller->viewport()->width());
               });
}

TEST_F(DialogLookTest, EveryTextReadsOnWhatIsBehindIt) {
    // Without smoothing every pixel of a glyph is drawn in the text's colour, so the test finds it exactly.
    const QFont smooth = QApplication::font();
    QFont sharp = smooth;
    sharp.setStyleStrategy(QFont::NoAntialias);
    QApplication::setFont(sharp);
    std::set<std::string> kinds;
    ForEachDialog([&](const Dialog& dialog, QWidget& shown) {
        const QImage picture = shown.grab().toImage();
        for (const TextSample& sample : TextSamples(&shown)) {
            kinds.insert(sample.kind);
            const QColor behind = Background(picture, sample.area, sample.text);
            EXPECT_GE(Contrast(sample.text, behind), 4.5)
                << dialog.caption << ": " << sample.kind << " " << sample.text.name().toStdString() << " on "
                << behind.name().toStdString();
            EXPECT_GT(TextPixels(picture, sample.area, sample.text), 0)
                << dialog.caption << ": " << sample.kind << " is not drawn in "
                << sample.text.name().toStdString();
        }
    });
    // Every kind of text control the dialogs use was looked at.
    for (const char* kind : {"label", "link", "check box", "button", "group box", "tab", "current tab",
                             "item", "selected item", "header", "combo box", "line edit", "memo"}) {
        EXPECT_EQ(kinds.count(kind), 1u) << kind;
    }
    QApplication::setFont(smooth);
}

}  // namespace
