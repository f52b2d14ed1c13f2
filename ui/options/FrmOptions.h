#pragma once

#include <QDialog>

class Program;

// "Brightsweep Options": switches the advanced mode, kept as the presence of
// c:\windows\options.ini.
class FrmOptions : public QDialog
{
    Q_OBJECT

public:
    explicit FrmOptions(Program &program);

    void Form_Load();
    void cmdOK_Click();
    void cmdCancel_Click();

private:
    Program &m_program;
};
