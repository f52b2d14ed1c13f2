#include "FrmOptions.h"

#include "Program.h"

FrmOptions::FrmOptions(Program &program)
    : QDialog(nullptr)
    , m_program(program)
{
    setObjectName(QStringLiteral("frmOptions"));
}

void FrmOptions::Form_Load()
{
}

void FrmOptions::cmdOK_Click()
{
}

void FrmOptions::cmdCancel_Click()
{
}
