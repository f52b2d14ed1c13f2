#pragma once

#include <QDialog>

class Program;
class QLabel;
class QPushButton;

// "About MyApp": the product notice; closes on OK only.
class FrmAbout : public QDialog
{
    Q_OBJECT

public:
    explicit FrmAbout(Program &program);

    void Form_Load();
    void Command1_Click();

    // Esc must not close the notice: OK is the only way out.
    void reject() override;

    // The picture of imgCurrentMoon, with its mask colour made transparent.
    static QPixmap picture();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    Program &m_program;
    QLabel *m_imgCurrentMoon;
    QLabel *m_label1;
    QPushButton *m_command2;
    QPushButton *m_command1;
};
