// zeb's own "open with" chooser, the program that zeb starts by default to let the user pick an
// application for a file (zeb-openwith FILE). It lists the desktop's applications for the file's MIME
// type (Qt's MIME database gives the type and its ancestors; DesktopEntries.h the applications), then
// "Other application...", which asks for any program. The chosen one is started with the file as one
// argument, never through a shell, and the chooser ends; Cancel ends it without starting anything.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "zeb/DesktopEntries.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace zeb {

// The file's MIME type by Qt's MIME database (name, then content when the file exists), followed by
// its ancestors.
std::vector<std::string> MimeTypesOf(const std::string& file);

class OpenWithChooser : public QDialog {
    Q_OBJECT

public:
    // Asks for a program file; "" when the user chose none.
    using ProgramPicker = std::function<std::string(QWidget* parent)>;

    OpenWithChooser(std::string file, std::vector<DesktopApplication> applications, QWidget* parent = nullptr);

    // The list: one row per application, then "Other application...".
    QListWidget* List() const { return list_; }
    QPushButton* OpenButton() const { return open_; }
    QLabel* Status() const { return status_; }
    void SetProgramPicker(ProgramPicker picker) { pickProgram_ = std::move(picker); }

private:
    void OpenChosen();
    // Starts argv; on failure tells the user in the dialog and keeps it open.
    void Start(const std::vector<std::string>& argv, const QString& name);

    std::string file_;
    std::vector<DesktopApplication> applications_;
    QListWidget* list_;
    QLabel* status_;
    QPushButton* open_;
    ProgramPicker pickProgram_;
};

// main() of zeb-openwith: exit code 1 without a file, else 0.
int OpenWithChooserMain(int argc, char** argv);

}  // namespace zeb
