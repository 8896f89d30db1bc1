#include "zeb/PromptDialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>

#include "zeb/DisabledExts.h"
#include "zeb/ExtensionPage.h"
#include "zeb/OpenWith.h"
#include "zeb/TextCase.h"

// The icon lives in a static library, whose resource initialiser the linker would drop unless called.
static void InitPromptResources() {
    Q_INIT_RESOURCE(zeb);
}

namespace zeb {

namespace {

constexpr const char* kCaption = "Problem opening your file";
constexpr const char* kNoProgramText =
    "No program is associated with the type of file you are trying to open.";
constexpr const char* kFileNameTemplate = "File name: %s";
constexpr const char* kQuestionText = "What do you want to do:";
constexpr const char* kFindProgramText = "  &Find a program that can open your file";
constexpr const char* kReadAboutTemplate = "  &Read and learn about %s files";
constexpr const char* kOpenWithText = "  &Use the standard Windows service";
constexpr const char* kDoNotShowTemplate = " Do not show again for %s files";
constexpr const char* kNoExtensionLabel = "extension-less";
constexpr const char* kImageResource = ":/zeb/prompt.png";

constexpr int kImageLeft = 12;
constexpr int kImageTop = 12;
constexpr int kImageSize = 32;

QString ToQString(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Button texts treat "&" as a mnemonic marker; a literal one must be doubled.
std::string EscapeMnemonics(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c;
        if (c == '&') {
            escaped += '&';
        }
    }
    return escaped;
}

QLabel* MakePlainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

}  // namespace

std::string FillTemplate(const std::string& pattern, const std::string& value) {
    std::string filled = pattern;
    const auto at = filled.find("%s");
    if (at != std::string::npos) {
        filled.replace(at, 2, value);
    }
    return filled;
}

std::string TypeLabel(const std::string& extension) {
    return extension.empty() ? kNoExtensionLabel : UnicodeUpperCase(extension);
}

PromptDialog::PromptDialog(Globals& globals, QWidget* parent) : QDialog(parent), globals_(globals) {
    InitPromptResources();
    image_.load(kImageResource);
    setWindowTitle(kCaption);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    CreateControls();
    OnInitDialog();
}

QRect PromptDialog::DialogUnits(int x, int y, int width, int height) const {
    // One horizontal unit is a quarter of the font's average letter width, one vertical unit an eighth of
    // its height, so the layout keeps its proportions with whatever font the desktop gives us.
    const QFontMetrics metrics(font());
    const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const int baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    const int baseY = metrics.height();
    return QRect(x * baseX / 4, y * baseY / 8, width * baseX / 4, height * baseY / 8);
}

void PromptDialog::CreateControls() {
    // Created in tab order; the box is not a tab stop.
    ok_ = new QPushButton("&OK", this);
    ok_->setObjectName("okButton");
    ok_->setDefault(true);
    ok_->setGeometry(DialogUnits(268, 119, 50, 19));
    connect(ok_, &QPushButton::clicked, this, &PromptDialog::OnOK);

    MakePlainLabel(kNoProgramText, this)->setGeometry(DialogUnits(35, 7, 284, 8));
    fileName_ = MakePlainLabel(QString(), this);
    fileName_->setObjectName("fileNameLabel");
    fileName_->setGeometry(DialogUnits(35, 19, 285, 8));
    MakePlainLabel(kQuestionText, this)->setGeometry(DialogUnits(35, 43, 283, 8));

    findProgram_ = new QRadioButton(kFindProgramText, this);
    findProgram_->setObjectName("findProgramChoice");
    findProgram_->setGeometry(DialogUnits(54, 59, 262, 10));
    readAboutType_ = new QRadioButton(this);
    readAboutType_->setObjectName("readAboutTypeChoice");
    readAboutType_->setGeometry(DialogUnits(54, 74, 261, 10));
    openWith_ = new QRadioButton(kOpenWithText, this);
    openWith_->setObjectName("openWithChoice");
    openWith_->setGeometry(DialogUnits(54, 89, 262, 10));

    doNotShowAgain_ = new QCheckBox(this);
    doNotShowAgain_->setObjectName("doNotShowAgainBox");
    doNotShowAgain_->setFocusPolicy(Qt::ClickFocus);
    doNotShowAgain_->setGeometry(DialogUnits(6, 124, 257, 10));

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(DialogUnits(5, 114, 314, 1));

    setFixedSize(DialogUnits(0, 0, 323, 142).size());
}

void PromptDialog::OnInitDialog() {
    const std::string typeLabel = EscapeMnemonics(TypeLabel(globals_.target_ext));
    fileName_->setText(ToQString(FillTemplate(kFileNameTemplate, globals_.target_name)));
    readAboutType_->setText(ToQString(FillTemplate(kReadAboutTemplate, typeLabel)));
    doNotShowAgain_->setText(ToQString(FillTemplate(kDoNotShowTemplate, typeLabel)));
    findProgram_->setChecked(true);
}

int PromptDialog::GetSelectedAction() const {
    if (findProgram_->isChecked()) {
        return kFindProgram;
    }
    if (readAboutType_->isChecked()) {
        return kReadAboutType;
    }
    if (openWith_->isChecked()) {
        return kOpenWith;
    }
    return kNoAction;
}

void PromptDialog::OnOK() {
    // Hidden first, so the browser or the chooser does not come up behind the prompt.
    hide();
    try {
        const int action = GetSelectedAction();
        if (doNotShowAgain_->isChecked()) {
            DisableExtension(globals_.target_ext);
        }
        if (action == kFindProgram || action == kReadAboutType) {
            OpenExtensionInfoPage(globals_);
        } else if (action == kOpenWith) {
            ShowOpenWithDialog(globals_.target_path);
        }
    } catch (const std::exception&) {
        ShowOpenWithDialog(globals_.target_path);
    }
    done(kOk);
}

void PromptDialog::reject() {}

void PromptDialog::closeEvent(QCloseEvent* event) {
    done(kClosed);
    event->accept();
}

void PromptDialog::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    if (image_.isNull()) {
        return;
    }
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(QRect(kImageLeft, kImageTop, kImageSize, kImageSize), image_,
                      QRect(0, 0, kImageSize, kImageSize));
}

}  // namespace zeb
