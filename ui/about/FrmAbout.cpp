#include "FrmAbout.h"

#include "Program.h"

FrmAbout::FrmAbout(Program &program)
    : QDialog(nullptr)
    , m_program(program)
{
    setObjectName(QStringLiteral("frmAbout"));
}

void FrmAbout::Form_Load()
{
}

void FrmAbout::Command1_Click()
{
}
