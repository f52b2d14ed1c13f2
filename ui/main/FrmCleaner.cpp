#include "FrmCleaner.h"

#include "FileServices.h"
#include "Program.h"

#include <QGroupBox>

FrmCleaner::FrmCleaner(Program &program)
    : QMainWindow(nullptr)
    , m_program(program)
{
    setObjectName(QStringLiteral("frmCleaner"));
    m_frame2 = new QGroupBox(tr("Cleaner Advanced Options"), this);
    m_frame2->setObjectName(QStringLiteral("Frame2"));
    m_frame2->setVisible(false);
    m_frame2->setEnabled(false);
}

void FrmCleaner::Form_Load()
{
    FileServices &files = m_program.files();
    files.changeDirectory("c:\\windows");
    if (files.firstMatch("c:\\windows\\options.ini") == "options.ini") {
        m_frame2->setVisible(true);
        m_frame2->setEnabled(true);
    } else {
        m_frame2->setEnabled(false);
    }
    m_program.hide(Program::Window::Clean);
}

void FrmCleaner::mnuExit_Click()
{
    m_program.unload(Program::Window::Cleaner);
    m_program.unload(Program::Window::Clean);
}
