#include "zeb/OpenWithChooser.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMimeDatabase>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/Processes.h"

namespace zeb {

namespace {

constexpr int kOtherRow = -1;  // the row data of "Other application..."

QIcon IconOf(const DesktopApplication& app) {
    if (app.icon.empty()) {
        return {};
    }
    const QString icon = QString::fromStdString(app.icon);
    return icon.startsWith('/') ? QIcon(icon) : QIcon::fromTheme(icon);
}

std::string PickProgramFile(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent, "Choose a program", "/usr/bin").toStdString();
}

}  // namespace

std::vector<std::string> MimeTypesOf(const std::string& file) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(QString::fromStdString(file));
    std::vector<std::string> types{type.name().toStdString()};
    for (const QString& ancestor : type.allAncestors()) {
        types.push_back(ancestor.toStdString());
    }
    return types;
}

OpenWithChooser::OpenWithChooser(std::string file, std::vector<DesktopApplication> applications, QWidget* parent)
    : QDialog(parent),
      file_(std::move(file)),
      applications_(std::move(applications)),
      list_(new QListWidget(this)),
      status_(new QLabel(this)),
      open_(nullptr),
      pickProgram_(PickProgramFile) {
    setWindowTitle("Open With");
    const QString name = QFileInfo(QString::fromStdString(file_)).fileName();
    auto* prompt = new QLabel(this);
    prompt->setTextFormat(Qt::PlainText);  // a file name is no markup
    prompt->setText("Choose the program to open \"" + name + "\":");
    for (size_t i = 0; i < applications_.size(); ++i) {
        auto* row = new QListWidgetItem(IconOf(applications_[i]), QString::fromStdString(applications_[i].name));
        row->setData(Qt::UserRole, static_cast<int>(i));
        list_->addItem(row);
    }
    auto* other = new QListWidgetItem("Other application...");
    other->setData(Qt::UserRole, kOtherRow);
    list_->addItem(other);
    list_->setCurrentRow(0);
    status_->setWordWrap(true);
    status_->hide();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Open | QDialogButtonBox::Cancel, this);
    open_ = buttons->button(QDialogButtonBox::Open);
    connect(buttons, &QDialogButtonBox::accepted, this, &OpenWithChooser::OpenChosen);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::itemActivated, this, &OpenWithChooser::OpenChosen);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(list_);
    layout->addWidget(status_);
    layout->addWidget(buttons);
    resize(420, 360);
}

void OpenWithChooser::OpenChosen() {
    const QListWidgetItem* row = list_->currentItem();
    if (!row) {
        return;
    }
    const int index = row->data(Qt::UserRole).toInt();
    if (index == kOtherRow) {
        const std::string program = pickProgram_(this);
        if (!program.empty()) {
            Start({program, file_}, QString::fromStdString(program));
        }
        return;
    }
    const DesktopApplication& app = applications_[static_cast<size_t>(index)];
    Start(CommandFor(app, file_), QString::fromStdString(app.name));
}

void OpenWithChooser::Start(const std::vector<std::string>& argv, const QString& name) {
    if (!argv.empty() && platform::StartProgram(argv)) {
        accept();
        return;
    }
    status_->setText("Could not start " + name + ".");
    status_->show();
}

int OpenWithChooserMain(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '\0') {
        return 1;
    }
    const std::string file = argv[1];
    // Qt sees only the program's name: the file's path is no option for it.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    OpenWithChooser chooser(file, ApplicationsFor(MimeTypesOf(file)));
    chooser.exec();
    return 0;
}

}  // namespace zeb
