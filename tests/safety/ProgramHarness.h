#pragma once

#include "files/FileError.h"
#include "files/FileServices.h"
#include "runtime/Program.h"

#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QGroupBox;
class QPushButton;
class SystemCalls;

// The real program on a given drive, driven the way a user drives it: boxes
// ticked, Clean pressed, the options dialog opened and confirmed. Failures
// are recorded instead of shown.
class ProgramHarness
{
public:
    // Without calls, the host's, on the attribute route the test run asks for.
    explicit ProgramHarness(const std::string &driveRoot, SystemCalls *calls = nullptr);
    ~ProgramHarness();
    ProgramHarness(const ProgramHarness &) = delete;
    ProgramHarness &operator=(const ProgramHarness &) = delete;

    Program &program() { return *m_program; }
    FileServices &files() { return *m_files; }

    // The start-up sequence; false when the main window did not come up.
    bool start();

    void tickAll();
    // Presses Clean; what the run reported is in failures().
    void clickClean();
    // Opens the options dialog and confirms the choice that switches the
    // advanced mode on or off. False when that choice was not offered (or the
    // dialog could not be opened); the failure, if any, is recorded.
    bool switchAdvancedMode(bool on);
    // The same in two steps: open the dialog and pick the choice, then OK.
    bool chooseAdvancedMode(bool on);
    void confirmOptions();

    QCheckBox *box(int number);
    QPushButton *command1();
    QGroupBox *frame2();
    int tickedCount();

    const std::vector<FileError> &failures() const { return m_failures; }
    void clearFailures() { m_failures.clear(); }
    const std::vector<std::string> &messages() const { return m_messages; }

private:
    std::unique_ptr<SystemCalls> m_hostCalls;
    std::unique_ptr<FileServices> m_files;
    std::unique_ptr<Program> m_program;
    std::vector<FileError> m_failures;
    std::vector<std::string> m_messages;
};
