#pragma once

#include <QMainWindow>

class Program;

// "Win 95/98 Brightsweep", the main window.
class FrmCleaner : public QMainWindow
{
    Q_OBJECT

public:
    explicit FrmCleaner(Program &program);

    void Form_Load();

private:
    Program &m_program;
};
