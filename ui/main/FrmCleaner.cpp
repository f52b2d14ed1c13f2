#include "FrmCleaner.h"

#include "Program.h"

FrmCleaner::FrmCleaner(Program &program)
    : QMainWindow(nullptr)
    , m_program(program)
{
    setObjectName(QStringLiteral("frmCleaner"));
}

void FrmCleaner::Form_Load()
{
}
