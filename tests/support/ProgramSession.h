#pragma once

// The windows and controls the session hands out, for its callers.
#include "files/FileError.h"
#include "files/FileServices.h"
#include "runtime/FrmClean.h"
#include "runtime/Program.h"
#include "ui/about/FrmAbout.h"
#include "ui/main/FrmCleaner.h"
#include "ui/options/FrmOptions.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QList>
#include <QPushButton>
#include <QStringList>

#include <memory>
#include <vector>

class QAction;
class SystemCalls;
class TestDrive;

// The real program on a test drive, made the way main() makes it: the file
// services, the program and its three windows. It is driven the way a user
// drives it (boxes ticked, Clean pressed, the options dialog opened and
// confirmed), and every failure and message is recorded instead of shown.
class ProgramSession
{
public:
    // Without calls, the host's, on the attribute route the test run asks
    // for. The drive and the calls must outlive the session.
    explicit ProgramSession(const TestDrive &drive, SystemCalls *calls = nullptr);
    ~ProgramSession();
    ProgramSession(const ProgramSession &) = delete;
    ProgramSession &operator=(const ProgramSession &) = delete;

    // The start-up sequence; false when the main window did not come up.
    bool start();

    Program &program() { return *m_program; }
    FileServices &files() { return *m_files; }
    FrmCleaner &window();

    QCheckBox *box(int number);
    QPushButton *command(int number);
    QGroupBox *frame2();
    // Box number's classic value: 0 unticked, 1 ticked, 2 greyed.
    int value(int number);
    int tickedCount();

    // Clicks box number with the mouse, on the indicator itself: past the
    // caption's end a click does nothing.
    void clickBox(int number);
    void tickAll();
    // Presses Clean; what the run reported is in failures().
    void clickClean();

    FrmOptions &openOptions();
    FrmAbout &openAbout();
    // Opens the options dialog and confirms the choice that switches the
    // advanced mode on or off. False when that choice was not offered (or the
    // dialog could not be opened); the failure, if any, is recorded.
    bool switchAdvancedMode(bool on);
    // The same in two steps: open the dialog and pick the choice, then OK.
    bool chooseAdvancedMode(bool on);
    void confirmOptions();

    const std::vector<FileError> &failures() const { return m_failures; }
    QList<int> failureNumbers() const;
    void clearFailures() { m_failures.clear(); }
    const QStringList &messages() const { return m_messages; }
    // What the cleans told the task bar, in order.
    struct Progress
    {
        double progress;
        bool visible;
    };
    const std::vector<Progress> &progress() const { return m_progress; }
    // How often the program ended.
    int endedCount() const { return m_ended; }

private:
    std::unique_ptr<SystemCalls> m_hostCalls;
    std::unique_ptr<FileServices> m_files;
    std::unique_ptr<Program> m_program;
    std::vector<FileError> m_failures;
    QStringList m_messages;
    std::vector<Progress> m_progress;
    int m_ended = 0;
};

// The main window's toolbar button the dispatch knows by key, or nullptr.
QAction *toolbarButton(FrmCleaner &window, const QString &key);
