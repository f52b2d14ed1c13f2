#pragma once

// One program started on a throw-away drive the way main() starts it, with
// failures and messages recorded instead of shown in message boxes.

#include "files/FileError.h"
#include "files/FileServices.h"
#include "ui/main/FrmCleaner.h"
#include "runtime/Program.h"
#include "runtime/FrmClean.h"
#include "ui/about/FrmAbout.h"
#include "ui/options/FrmOptions.h"
#include "TestDrive.h"

#include <QAction>
#include <QCheckBox>
#include <QPushButton>
#include <QStringList>
#include <QToolBar>

#include <memory>
#include <vector>

// The toolbar button the dispatch knows by this key, or nullptr.
inline QAction *toolbarButton(FrmCleaner &window, const QString &key)
{
    for (QAction *action : window.findChild<QToolBar *>(QStringLiteral("Toolbar1"))->actions()) {
        if (action->data().toString() == key)
            return action;
    }
    return nullptr;
}

struct MainWindowSession
{
    TestDrive drive;
    std::unique_ptr<FileServices> files;
    std::unique_ptr<Program> program;
    std::vector<FileError> failures;
    QStringList messages;

    // Builds the program without starting it.
    Program &create(SystemCalls *systemCalls = nullptr)
    {
        files = std::make_unique<FileServices>(drive.root().toStdString(), systemCalls);
        program = std::make_unique<Program>(*files);
        program->defineMainWindow<FrmCleaner>();
        program->define<FrmOptions>();
        program->define<FrmAbout>();
        program->setFailureReporter([this](const FileError &error) { failures.push_back(error); });
        program->setMessageReporter([this](const QString &text) { messages << text; });
        return *program;
    }

    bool start(SystemCalls *systemCalls = nullptr)
    {
        create(systemCalls);
        return program->start();
    }

    FrmCleaner &window() { return program->window<FrmCleaner>(); }

    QCheckBox *box(int number)
    {
        return window().findChild<QCheckBox *>(QStringLiteral("Check%1").arg(number));
    }

    QPushButton *command(int number)
    {
        return window().findChild<QPushButton *>(QStringLiteral("Command%1").arg(number));
    }

    int value(int number) { return FrmCleaner::checkValue(*box(number)); }

    bool anyTicked()
    {
        for (int number = 1; number <= 6; ++number) {
            if (value(number) == 1)
                return true;
        }
        return false;
    }
};
