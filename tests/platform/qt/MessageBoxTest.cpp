#include "platform/qt/MessageBox.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Dispatcher.h"

namespace platform {
namespace {

constexpr unsigned kBoundMs = 10000;

TEST(MessageBoxTest, TheHookSeesCaptionTextKindAndButtons) {
    std::vector<MessageBoxRequest> seen;
    ScopedMessageBoxHook hook([&](const MessageBoxRequest& r) {
        seen.push_back(r);
        return TMessageResult::No;
    });
    const auto result = ShowMessageBox(TMessageKind::Warning, "Strevio Warning",
                                       "Changing the file association failed.", TMessageButtons::YesNo);
    EXPECT_EQ(result, TMessageResult::No);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, "Strevio Warning");
    EXPECT_EQ(seen[0].text, "Changing the file association failed.");
    EXPECT_EQ(seen[0].kind, TMessageKind::Warning);
    EXPECT_EQ(seen[0].buttons, TMessageButtons::YesNo);
}

TEST(MessageBoxTest, ScopedHooksNestAndRestore) {
    std::vector<std::string> order;
    ScopedMessageBoxHook outer([&](const MessageBoxRequest& r) {
        order.push_back("outer " + r.text);
        return TMessageResult::Ok;
    });
    {
        ScopedMessageBoxHook inner([&](const MessageBoxRequest& r) {
            order.push_back("inner " + r.text);
            return TMessageResult::Ok;
        });
        ShowMessageBox(TMessageKind::Error, "c", "1");
    }
    ShowMessageBox(TMessageKind::Error, "c", "2");
    EXPECT_EQ(order, (std::vector<std::string>{"inner 1", "outer 2"}));
}

TEST(MessageBoxTest, SetMessageBoxHookReturnsThePreviousHook) {
    MessageBoxHook first = [](const MessageBoxRequest&) { return TMessageResult::Yes; };
    MessageBoxHook before = SetMessageBoxHook(first);
    MessageBoxHook previous = SetMessageBoxHook(before);
    ASSERT_TRUE(previous);
    EXPECT_EQ(previous({}), TMessageResult::Yes);
}

TEST(MessageBoxTest, ABoxAskedForByAWorkerIsShownOnTheMainThread) {
    SetMainThread();
    std::atomic<bool> hookOnMain{false};
    ScopedMessageBoxHook hook([&](const MessageBoxRequest&) {
        hookOnMain = IsMainThread();
        return TMessageResult::Ok;
    });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        ShowMessageBox(TMessageKind::Error, "KorvantaPollwick Error", "x is not a valid link.");
        done = true;
    });
    EXPECT_TRUE(WaitPumping([&] { return done.load(); }, kBoundMs));
    worker.join();
    EXPECT_TRUE(hookOnMain);
}

struct ShownBox {
    QString title;
    QString text;
    Qt::TextFormat format;
    QMessageBox::Icon icon;
    Qt::WindowModality modality;
};

// The box on screen: the modal widget, or failing that any visible top-level message box.
QMessageBox* FindShownBox() {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        return box;
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

TEST(MessageBoxTest, TheDefaultBoxShowsPlainTextModallyAndReturnsTheButton) {
    ASSERT_FALSE(SetMessageBoxHook({})) << "another test left a hook behind";
    std::optional<ShownBox> shown;
    QTimer* poll = new QTimer(qApp);
    int tries = 0;
    QObject::connect(poll, &QTimer::timeout, [&] {
        QMessageBox* box = FindShownBox();
        if (box == nullptr) {
            if (++tries > 1000) {
                poll->stop();  // give up; the assertion below reports it
            }
            return;
        }
        shown =
            ShownBox{box->windowTitle(), box->text(), box->textFormat(), box->icon(), box->windowModality()};
        poll->stop();
        box->button(QMessageBox::Yes)->click();
    });
    poll->start(10);
    const auto result =
        ShowMessageBox(TMessageKind::Question, "Strevio", "<b>not bold</b>", TMessageButtons::YesNoCancel);
    delete poll;
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(result, TMessageResult::Yes);
    EXPECT_EQ(shown->title, "Strevio");
    EXPECT_EQ(shown->text, "<b>not bold</b>");
    EXPECT_EQ(shown->format, Qt::PlainText);
    EXPECT_EQ(shown->icon, QMessageBox::Question);
    EXPECT_EQ(shown->modality, Qt::ApplicationModal);
}

}  // namespace
}  // namespace platform
