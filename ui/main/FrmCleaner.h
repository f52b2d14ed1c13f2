#pragma once

#include <QMainWindow>

class Program;
class QGroupBox;

// "Win 95/98 Brightsweep", the main window.
class FrmCleaner : public QMainWindow
{
    Q_OBJECT

public:
    explicit FrmCleaner(Program &program);

    void Form_Load();
    void mnuExit_Click();

private:
    Program &m_program;
    QGroupBox *m_frame2 = nullptr;
};
