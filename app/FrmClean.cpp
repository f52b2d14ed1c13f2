#include "FrmClean.h"

#include "FileServices.h"
#include "Program.h"

FrmClean::FrmClean(Program &program)
    : QWidget(nullptr)
    , m_program(program)
{
    setObjectName(QStringLiteral("frmClean"));
}

void FrmClean::Form_Load()
{
    FileServices &files = m_program.files();
    files.changeDirectory("c:\\windows");
    // The main window's own load runs in here and hides this window; it is
    // on screen before cleaner.txt is written.
    m_program.show(Program::Window::Cleaner);
    files.openForOutput(1, "cleaner.txt");
    files.writeRecord(1, "Hello World");
    files.closeAll();
}
