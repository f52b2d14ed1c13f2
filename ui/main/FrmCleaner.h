#pragma once

#include <QMainWindow>

#include <array>

class ClockStatusBar;
class ImageList;
class Program;
class QAction;
class QCheckBox;
class QFont;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class QToolBar;

// "Win 95/98 Brightsweep", the main window: six boxes choose the folders to
// empty, Clean empties them. Every control is placed at its classic twip
// position, 15 twips a pixel.
class FrmCleaner : public QMainWindow
{
    Q_OBJECT

public:
    explicit FrmCleaner(Program &program);

    // The client area below the menu bar, in pixels.
    static constexpr int clientWidth = 329;
    static constexpr int clientHeight = 362;

    void Form_Load();

    // "Cleaner Advanced Options", which the options dialog shows and hides.
    QGroupBox &advancedFrame() const;

    void Check1_Click();
    void Check2_Click();
    void Check3_Click();
    void Check4_Click();
    void Check5_Click();
    void Check6_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Toolbar1_ButtonClick(const QAction &button);
    void mnuExit_Click();
    void mnuOptions_Click();
    void mnuAbout_Click();

    // A box's classic value: 0 unticked, 1 ticked, 2 greyed. Qt numbers the
    // last two the other way round, so every read and write of a box goes
    // through these two.
    static int checkValue(const QCheckBox &box);
    static void setCheckValue(QCheckBox &box, int value);

    QMenu *createPopupMenu() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenuBar();
    void buildToolBar();
    void buildMainFrame(QWidget *client);
    void buildAdvancedFrame(QWidget *client);
    void orderTabs();
    void applyFittingFont();
    bool captionsFit(const QFont &font) const;
    void selectionRule();
    void showOptions();
    void toolbarButtonPressed(QAction *button);

    Program &m_program;

    QMenu *m_mnuFile = nullptr;
    QAction *m_mnuExit = nullptr;
    QAction *m_mnuView = nullptr;
    QAction *m_mnuOptions = nullptr;
    QMenu *m_mnuHelp = nullptr;
    QAction *m_mnuAbout = nullptr;
    QToolBar *m_toolbar1 = nullptr;
    ImageList *m_imageList1 = nullptr;
    ClockStatusBar *m_statusBar1 = nullptr;
    QGroupBox *m_frame1 = nullptr;
    QGroupBox *m_frame2 = nullptr;
    QGroupBox *m_frame3 = nullptr;
    QGroupBox *m_frame4 = nullptr;
    QLabel *m_label1 = nullptr;
    QLabel *m_label2 = nullptr;
    QSlider *m_slider1 = nullptr;
    QSlider *m_slider2 = nullptr;
    std::array<QCheckBox *, 6> m_checks{};
    QPushButton *m_command1 = nullptr;
    QPushButton *m_command2 = nullptr;
    QPushButton *m_command3 = nullptr;
};
