#pragma once

#include <QDialog>

class Program;
class QButtonGroup;
class QGroupBox;
class QPushButton;
class QTabWidget;
class WrappingRadioButton;

// "Brightsweep Options": switches the advanced mode, kept as the presence of
// c:\windows\options.ini. Only the choice that would change the present
// setting can be picked.
class FrmOptions : public QDialog
{
    Q_OBJECT

public:
    explicit FrmOptions(Program &program);

    void Form_Load();
    void cmdOK_Click();
    void cmdCancel_Click();

    // Esc and anything else that rejects the dialog count as Cancel.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void applyFittingFont();
    bool captionsFit() const;

    // The main window's advanced options frame, or nullptr once the main
    // window has been unloaded: asking the program for the main window would
    // load it again and rerun the whole start-up.
    QGroupBox *loadedAdvancedFrame() const;

    Program &m_program;
    QTabWidget *m_tbsOptions;
    QPushButton *m_cmdOK;
    QPushButton *m_cmdCancel;
    WrappingRadioButton *m_option1;
    WrappingRadioButton *m_option2;
    QButtonGroup *m_startupChoice;
};
