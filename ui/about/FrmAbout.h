#pragma once

#include <QDialog>

class Program;

// "About MyApp": the product notice; closes on OK only.
class FrmAbout : public QDialog
{
    Q_OBJECT

public:
    explicit FrmAbout(Program &program);

    void Form_Load();
    void Command1_Click();

private:
    Program &m_program;
};
