#include "runtime/FrmClean.h"

#include "engine/AdvancedMode.h"
#include "files/FileServices.h"
#include "runtime/Program.h"

FrmClean::FrmClean(Program &program)
    : QWidget(nullptr)
    , m_program(program)
{
    setObjectName(QStringLiteral("frmClean"));
}

void FrmClean::Form_Load()
{
    FileServices &files = m_program.files();
    files.changeDirectory(windowsFolder);
    // The main window's own load runs in here and hides this window; it is
    // on screen before cleaner.txt is written.
    m_program.showMainWindow();
    files.openForOutput(1, "cleaner.txt");
    files.writeRecord(1, "Hello World");
    files.closeAll();
}
