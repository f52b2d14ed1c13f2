#pragma once

#include <QWidget>

class Program;

// The start-up window: never shown; its Form_Load is the start-up sequence.
class FrmClean : public QWidget
{
    Q_OBJECT

public:
    explicit FrmClean(Program &program);

    void Form_Load();

private:
    Program &m_program;
};
