#include "FrmClean.h"

#include "Program.h"

FrmClean::FrmClean(Program &program)
    : QWidget(nullptr)
    , m_program(program)
{
    setObjectName(QStringLiteral("frmClean"));
}

void FrmClean::Form_Load()
{
}
