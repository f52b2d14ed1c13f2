// The options dialog on a throw-away drive C:, driven as the user drives it.

#include "runtime/FrmClean.h"
#include "support/DialogFrame.h"
#include "support/ProgramSession.h"
#include "support/TestDrive.h"
#include "ui/main/FrmCleaner.h"
#include "ui/options/FrmOptions.h"
#include "ui/options/WrappingRadioButton.h"

#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QWindow>

#include <memory>

namespace {

const QByteArray flagBytes = TestDrive::flagLine();

template <typename T>
T *child(QWidget &window, const char *name)
{
    auto *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s in %s", name, qPrintable(window.objectName()));
    return found;
}

void clickOption(FrmOptions &dialog, const char *name)
{
    QTest::mouseClick(child<QRadioButton>(dialog, name), Qt::LeftButton);
}

void pressOk(FrmOptions &dialog)
{
    QTest::mouseClick(child<QPushButton>(dialog, "cmdOK"), Qt::LeftButton);
}

} // namespace

class TestFrmOptions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowFrame();
    void controls_data();
    void controls();
    void hiddenPanels();
    void captionsFitTheirBoxes();
    void tabOrder_data();
    void tabOrder();

    void applyChoice_data();
    void applyChoice();
    void closeWithoutApplying_data();
    void closeWithoutApplying();
    void enterOutsideAButtonDoesNothing();
    void disabledChoiceCannotBePicked();

    void okWritesInWindowsWhereverTheCurrentDirectoryIs_data();
    void okWritesInWindowsWhereverTheCurrentDirectoryIs();
    void flagAppearingAfterLoadIsOverwritten();

    void okAfterExitDoesNotBringBackTheMainWindow_data();
    void okAfterExitDoesNotBringBackTheMainWindow();
    void exitWithDialogOpenEndsOnlyWhenItCloses();
    void askingAgainRaisesTheOpenDialog();

    void failingOkIsReportedAndTheDialogStays_data();
    void failingOkIsReportedAndTheDialogStays();

private:
    QString hostPath(const QString &relative) const { return m_drive->hostPath(relative); }
    void writeHostFile(const QString &relative, const QByteArray &bytes) { m_drive->write(relative, bytes); }
    QByteArray readHostFile(const QString &relative) const
    {
        return QByteArray::fromStdString(m_drive->content(relative.toStdString()).value_or("<missing>"));
    }
    bool hostFileExists(const QString &relative) const { return m_drive->exists(relative.toStdString()); }

    std::unique_ptr<TestDrive> m_drive;
    std::unique_ptr<ProgramSession> m_session;
};

void TestFrmOptions::init()
{
    m_drive = std::make_unique<TestDrive>();
    m_drive->folder("WINDOWS");
    m_drive->folder("WINDOWS/TEMP");
    m_session = std::make_unique<ProgramSession>(*m_drive);
}

void TestFrmOptions::cleanup()
{
    m_session.reset();
    m_drive.reset();
}

void TestFrmOptions::windowFrame()
{
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();

    checkFixedDialogFrame(dialog, QStringLiteral("Brightsweep Options"), QSize(317, 161));
}

void TestFrmOptions::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");

    // Twips of the drawn layout divided by 15.
    QTest::newRow("tbsOptions") << "tbsOptions" << "QTabWidget" << "Startup Options" << QRect(8, 8, 289, 115);
    QTest::newRow("cmdOK") << "cmdOK" << "QPushButton" << "OK" << QRect(8, 128, 73, 25);
    QTest::newRow("cmdCancel") << "cmdCancel" << "QPushButton" << "Cancel" << QRect(96, 128, 73, 25);
    QTest::newRow("Option1") << "Option1" << "QRadioButton" << "Start with Brightsweep classic" << QRect(24, 48, 193, 25);
    QTest::newRow("Option2") << "Option2" << "QRadioButton"
                             << "Start with Brightsweep advanced mode  (For advanced users only)"
                             << QRect(24, 72, 217, 33);
}

void TestFrmOptions::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);

    // Built but not loaded: the state the layout itself gives.
    FrmOptions dialog(m_session->program());
    auto *control = dialog.findChild<QWidget *>(name);
    QVERIFY(control);
    QVERIFY(control->inherits(kind.toLatin1().constData()));
    QCOMPARE(control->parentWidget(), &dialog);
    QCOMPARE(control->geometry(), geometry);
    QVERIFY(!control->isHidden());

    if (auto *tabs = qobject_cast<QTabWidget *>(control)) {
        QCOMPARE(tabs->count(), 1);
        QCOMPARE(tabs->tabText(0), caption);
        QCOMPARE(tabs->tabBar()->tabData(0).toString(), QStringLiteral("startup"));
        QCOMPARE(tabs->tabToolTip(0), QStringLiteral("Set Options for Group 1"));
        QVERIFY(tabs->isEnabled());
    } else if (auto *option = qobject_cast<QRadioButton *>(control)) {
        QCOMPARE(option->text(), caption);
        QVERIFY(!option->isEnabled());
        QVERIFY(!option->isChecked());
    } else {
        auto *button = qobject_cast<QPushButton *>(control);
        QCOMPARE(button->text(), caption);
        QVERIFY(button->isEnabled());
        QVERIFY(!button->isDefault());
    }
}

void TestFrmOptions::hiddenPanels()
{
    FrmOptions dialog(m_session->program());
    const QRect clientArea(QPoint(0, 0), dialog.size());
    QList<int> indices;
    const auto panels = dialog.findChildren<QWidget *>(QStringLiteral("picOptions"), Qt::FindDirectChildrenOnly);
    for (QWidget *panel : panels) {
        const int index = panel->property("index").toInt();
        indices.append(index);
        QCOMPARE(panel->geometry(), QRect(-1333, 32, 379, 252));
        QVERIFY(!clientArea.intersects(panel->geometry()));
        const QString frameName = QStringLiteral("fraSample%1").arg(index + 1);
        auto *frame = panel->findChild<QGroupBox *>(frameName);
        QVERIFY2(frame, qPrintable(frameName));
        QCOMPARE(frame->title(), QStringLiteral("Sample %1").arg(index + 1));
        QVERIFY(frame->focusPolicy() == Qt::NoFocus && panel->focusPolicy() == Qt::NoFocus);
    }
    std::sort(indices.begin(), indices.end());
    QCOMPARE(indices, (QList<int>{1, 2, 3}));
}

void TestFrmOptions::captionsFitTheirBoxes()
{
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();

    for (const char *name : {"Option1", "Option2"}) {
        auto *option = child<WrappingRadioButton>(dialog, name);
        const QRect room = option->captionRect();
        const QRect needed = option->wrappedCaptionBounds();
        QVERIFY2(room.contains(needed), qPrintable(QStringLiteral("%1 needs %2x%3, has %4x%5")
                                                       .arg(QString::fromLatin1(name))
                                                       .arg(needed.width())
                                                       .arg(needed.height())
                                                       .arg(room.width())
                                                       .arg(room.height())));
    }
    for (const char *name : {"cmdOK", "cmdCancel"}) {
        auto *button = child<QPushButton>(dialog, name);
        QVERIFY(button->fontMetrics().horizontalAdvance(button->text()) < button->width() - 8);
    }
    auto *tabs = child<QTabWidget>(dialog, "tbsOptions");
    QVERIFY(tabs->tabBar()->tabRect(0).right() < tabs->width());
}

void TestFrmOptions::tabOrder_data()
{
    QTest::addColumn<bool>("flagBefore");
    QTest::addColumn<QString>("enabledOption");

    QTest::newRow("advanced mode off") << false << "Option2";
    QTest::newRow("advanced mode on") << true << "Option1";
}

void TestFrmOptions::tabOrder()
{
    QFETCH(bool, flagBefore);
    QFETCH(QString, enabledOption);

    if (flagBefore)
        writeHostFile(QStringLiteral("WINDOWS/options.ini"), flagBytes);
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();

    // The whole chain, the panels nothing shows included.
    const QStringList named{QStringLiteral("tbsOptions"), QStringLiteral("cmdOK"),     QStringLiteral("cmdCancel"),
                            QStringLiteral("picOptions"), QStringLiteral("fraSample2"), QStringLiteral("fraSample3"),
                            QStringLiteral("fraSample4"), QStringLiteral("Option1"),    QStringLiteral("Option2")};
    QStringList chain;
    QWidget *widget = &dialog;
    do {
        widget = widget->nextInFocusChain();
        if (!named.contains(widget->objectName()))
            continue;
        const QVariant index = widget->property("index");
        chain.append(index.isValid() ? widget->objectName() + index.toString() : widget->objectName());
    } while (widget != &dialog);
    const QStringList expectedChain{
        QStringLiteral("tbsOptions"), QStringLiteral("cmdOK"),       QStringLiteral("cmdCancel"),
        QStringLiteral("picOptions1"), QStringLiteral("fraSample2"), QStringLiteral("picOptions2"),
        QStringLiteral("fraSample3"), QStringLiteral("picOptions3"), QStringLiteral("fraSample4"),
        QStringLiteral("Option1"),    QStringLiteral("Option2")};
    QCOMPARE(chain, expectedChain);

    // What the user meets pressing Tab: the strip first, never a hidden panel.
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QStringList visited;
    for (int press = 0; press < 5; ++press) {
        QWidget *focus = QApplication::focusWidget();
        QVERIFY(focus);
        QWidget *owner = focus;
        while (owner != &dialog && !named.contains(owner->objectName()))
            owner = owner->parentWidget();
        visited.append(owner->objectName());
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QCOMPARE(visited, (QStringList{QStringLiteral("tbsOptions"), QStringLiteral("cmdOK"), QStringLiteral("cmdCancel"),
                                   enabledOption, QStringLiteral("tbsOptions")}));
}

void TestFrmOptions::applyChoice_data()
{
    QTest::addColumn<QString>("storedName"); // flag file before start; empty: none
    QTest::addColumn<QByteArray>("storedBytes");
    QTest::addColumn<bool>("advancedAtStart");
    QTest::addColumn<QString>("pick"); // the option clicked before OK; empty: none
    QTest::addColumn<bool>("frameShownAfter");
    QTest::addColumn<QByteArray>("flagAfter");

    const QByteArray missing("<missing>");
    QTest::newRow("off, advanced chosen") << QString() << QByteArray() << false << "Option2" << true << flagBytes;
    QTest::newRow("on, classic chosen") << "options.ini" << flagBytes << true << "Option1" << false << missing;
    QTest::newRow("off, nothing chosen") << QString() << QByteArray() << false << QString() << false << missing;
    QTest::newRow("on, nothing chosen") << "options.ini" << flagBytes << true << QString() << true << flagBytes;
    QTest::newRow("other content is on") << "options.ini" << QByteArray("advanced=0\r\n") << true << "Option1" << false
                                         << missing;
    QTest::newRow("empty file is on") << "options.ini" << QByteArray() << true << "Option1" << false << missing;
    QTest::newRow("capitals are off") << "OPTIONS.INI" << flagBytes << false << QString() << false << missing;
}

void TestFrmOptions::applyChoice()
{
    QFETCH(QString, storedName);
    QFETCH(QByteArray, storedBytes);
    QFETCH(bool, advancedAtStart);
    QFETCH(QString, pick);
    QFETCH(bool, frameShownAfter);
    QFETCH(QByteArray, flagAfter);

    if (!storedName.isEmpty())
        writeHostFile(QStringLiteral("WINDOWS/") + storedName, storedBytes);
    QVERIFY(m_session->start());
    QGroupBox *frame = m_session->frame2();
    QCOMPARE(frame->isVisible(), advancedAtStart);
    QCOMPARE(frame->isEnabled(), advancedAtStart);

    FrmOptions &dialog = m_session->openOptions();
    QCOMPARE(child<QRadioButton>(dialog, "Option1")->isEnabled(), advancedAtStart);
    QCOMPARE(child<QRadioButton>(dialog, "Option2")->isEnabled(), !advancedAtStart);
    QVERIFY(!child<QRadioButton>(dialog, "Option1")->isChecked());
    QVERIFY(!child<QRadioButton>(dialog, "Option2")->isChecked());

    if (!pick.isEmpty()) {
        clickOption(dialog, pick.toLatin1().constData());
        QVERIFY(child<QRadioButton>(dialog, pick.toLatin1().constData())->isChecked());
    }
    pressOk(dialog);

    QCOMPARE(m_session->failureNumbers(), QList<int>());
    QVERIFY(!m_session->program().isLoaded<FrmOptions>());
    QVERIFY(dialog.isHidden());
    // The main window changed at once, not at the next start.
    QCOMPARE(frame->isVisible(), frameShownAfter);
    if (frameShownAfter)
        QVERIFY(frame->isEnabled());
    QCOMPARE(readHostFile(QStringLiteral("WINDOWS/options.ini")), flagAfter);
    if (storedName == QStringLiteral("OPTIONS.INI"))
        QCOMPARE(readHostFile(QStringLiteral("WINDOWS/OPTIONS.INI")), storedBytes);

    // The next start on the same drive agrees, in the main window and the dialog.
    m_session.reset();
    ProgramSession restarted(*m_drive);
    QVERIFY(restarted.start());
    QCOMPARE(restarted.frame2()->isVisible(), frameShownAfter);
    QCOMPARE(restarted.frame2()->isEnabled(), frameShownAfter);
    FrmOptions &again = restarted.openOptions();
    QCOMPARE(child<QRadioButton>(again, "Option1")->isEnabled(), frameShownAfter);
    QCOMPARE(restarted.failureNumbers(), QList<int>());
}

void TestFrmOptions::closeWithoutApplying_data()
{
    QTest::addColumn<bool>("flagBefore");
    QTest::addColumn<QString>("how");

    for (bool flag : {false, true}) {
        const char *state = flag ? "on" : "off";
        QTest::addRow("%s, Cancel", state) << flag << "cancel";
        QTest::addRow("%s, Esc", state) << flag << "escape";
        QTest::addRow("%s, closed by the window system", state) << flag << "window";
    }
}

void TestFrmOptions::closeWithoutApplying()
{
    QFETCH(bool, flagBefore);
    QFETCH(QString, how);

    if (flagBefore)
        writeHostFile(QStringLiteral("WINDOWS/options.ini"), flagBytes);
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();
    clickOption(dialog, flagBefore ? "Option1" : "Option2");

    if (how == QStringLiteral("cancel")) {
        QTest::mouseClick(child<QPushButton>(dialog, "cmdCancel"), Qt::LeftButton);
    } else if (how == QStringLiteral("escape")) {
        QTest::keyClick(child<QRadioButton>(dialog, flagBefore ? "Option1" : "Option2"), Qt::Key_Escape);
    } else {
        // The dialog closes itself by unloading, so the request reports "not closed".
        QVERIFY(dialog.windowHandle());
        dialog.windowHandle()->close();
    }

    QVERIFY(!m_session->program().isLoaded<FrmOptions>());
    QVERIFY(dialog.isHidden());
    QCOMPARE(m_session->frame2()->isVisible(), flagBefore);
    QCOMPARE(m_session->frame2()->isEnabled(), flagBefore);
    QCOMPARE(readHostFile(QStringLiteral("WINDOWS/options.ini")), flagBefore ? flagBytes : QByteArray("<missing>"));
    QCOMPARE(m_session->failureNumbers(), QList<int>());
    QCOMPARE(m_session->endedCount(), 0);
}

void TestFrmOptions::enterOutsideAButtonDoesNothing()
{
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();
    clickOption(dialog, "Option2");

    // No button is the default: Enter on the tab strip or an option applies nothing.
    QTest::keyClick(child<QTabWidget>(dialog, "tbsOptions")->tabBar(), Qt::Key_Return);
    QTest::keyClick(child<QRadioButton>(dialog, "Option2"), Qt::Key_Enter, Qt::KeypadModifier);
    QVERIFY(m_session->program().isLoaded<FrmOptions>());
    QVERIFY(!hostFileExists(QStringLiteral("WINDOWS/options.ini")));

    // On a button Enter presses it.
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    child<QPushButton>(dialog, "cmdOK")->setFocus(Qt::TabFocusReason);
    QCOMPARE(QApplication::focusWidget(), child<QPushButton>(dialog, "cmdOK"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(!m_session->program().isLoaded<FrmOptions>());
    QCOMPARE(readHostFile(QStringLiteral("WINDOWS/options.ini")), flagBytes);
}

void TestFrmOptions::disabledChoiceCannotBePicked()
{
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();
    clickOption(dialog, "Option1");
    clickOption(dialog, "Option2");
    clickOption(dialog, "Option1");
    QVERIFY(!child<QRadioButton>(dialog, "Option1")->isChecked());
    QVERIFY(child<QRadioButton>(dialog, "Option2")->isChecked());

    // Clicking the only tab changes nothing either.
    auto *tabs = child<QTabWidget>(dialog, "tbsOptions");
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(0).center());
    QVERIFY(child<QRadioButton>(dialog, "Option2")->isChecked());
    QVERIFY(!child<QRadioButton>(dialog, "Option1")->isEnabled());
    QCOMPARE(tabs->currentIndex(), 0);
}

void TestFrmOptions::okWritesInWindowsWhereverTheCurrentDirectoryIs_data()
{
    QTest::addColumn<bool>("flagBefore");
    QTest::addColumn<QString>("moveBy"); // how the current directory leaves c:\windows

    for (bool flag : {false, true}) {
        const char *state = flag ? "classic chosen" : "advanced chosen";
        QTest::addRow("%s, change-directory", state) << flag << "chdir";
        QTest::addRow("%s, clean run", state) << flag << "clean";
    }
}

void TestFrmOptions::okWritesInWindowsWhereverTheCurrentDirectoryIs()
{
    QFETCH(bool, flagBefore);
    QFETCH(QString, moveBy);

    if (flagBefore)
        writeHostFile(QStringLiteral("WINDOWS/options.ini"), flagBytes);
    // A decoy where a relative name would land without re-entering c:\windows.
    writeHostFile(QStringLiteral("WINDOWS/TEMP/options.ini"), QByteArray("decoy"));
    writeHostFile(QStringLiteral("WINDOWS/TEMP/junk.tmp"), QByteArray("junk"));
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();
    clickOption(dialog, flagBefore ? "Option1" : "Option2");

    if (moveBy == QStringLiteral("chdir")) {
        m_session->files().changeDirectory("C:\\WINDOWS\\TEMP");
    } else {
        FrmCleaner &cleaner = m_session->window();
        auto *check4 = child<QAbstractButton>(cleaner, "Check4");
        QTest::mouseClick(check4, Qt::LeftButton);
        QVERIFY(check4->isChecked());
        QTest::mouseClick(child<QPushButton>(cleaner, "Command1"), Qt::LeftButton);
        // The clean run emptied TEMP, decoy included, and left its marker.
        QVERIFY(!check4->isChecked());
        QVERIFY(hostFileExists(QStringLiteral("WINDOWS/TEMP/deleted.txt")));
        writeHostFile(QStringLiteral("WINDOWS/TEMP/options.ini"), QByteArray("decoy"));
    }
    QCOMPARE(QString::fromStdString(m_session->files().currentDirectory()).toUpper(),
             QStringLiteral("C:\\WINDOWS\\TEMP"));

    pressOk(dialog);
    QCOMPARE(m_session->failureNumbers(), QList<int>());
    QCOMPARE(readHostFile(QStringLiteral("WINDOWS/options.ini")), flagBefore ? QByteArray("<missing>") : flagBytes);
    QCOMPARE(readHostFile(QStringLiteral("WINDOWS/TEMP/options.ini")), QByteArray("decoy"));
}

void TestFrmOptions::flagAppearingAfterLoadIsOverwritten()
{
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();
    QVERIFY(child<QRadioButton>(dialog, "Option2")->isEnabled());
    writeHostFile(QStringLiteral("WINDOWS/options.ini"), QByteArray(300, 'x'));

    clickOption(dialog, "Option2");
    pressOk(dialog);
    QCOMPARE(m_session->failureNumbers(), QList<int>());
    const QByteArray written = readHostFile(QStringLiteral("WINDOWS/options.ini"));
    QCOMPARE(written.size(), 22);
    QCOMPARE(written, flagBytes);
}

void TestFrmOptions::okAfterExitDoesNotBringBackTheMainWindow_data()
{
    QTest::addColumn<bool>("flagBefore");
    QTest::addColumn<QString>("pick");

    QTest::newRow("advanced chosen") << false << "Option2";
    QTest::newRow("classic chosen") << true << "Option1";
}

void TestFrmOptions::okAfterExitDoesNotBringBackTheMainWindow()
{
    QFETCH(bool, flagBefore);
    QFETCH(QString, pick);

    if (flagBefore)
        writeHostFile(QStringLiteral("WINDOWS/options.ini"), flagBytes);
    QVERIFY(m_session->start());
    const QByteArray startupFile = readHostFile(QStringLiteral("WINDOWS/cleaner.txt"));
    FrmOptions &dialog = m_session->openOptions();
    clickOption(dialog, pick.toLatin1().constData());

    Program &program = m_session->program();
    program.guard([&program] { program.window<FrmCleaner>().mnuExit_Click(); });
    QVERIFY(!program.isLoaded<FrmCleaner>());
    QVERIFY(!program.isLoaded<FrmClean>());
    QCOMPARE(m_session->endedCount(), 0);
    // Start-up must not run again: it would rewrite cleaner.txt.
    QFile::remove(hostPath(QStringLiteral("WINDOWS/cleaner.txt")));

    pressOk(dialog);
    QCOMPARE(m_session->failureNumbers(), QList<int>());
    QCOMPARE(readHostFile(QStringLiteral("WINDOWS/options.ini")), flagBefore ? QByteArray("<missing>") : flagBytes);
    QVERIFY(!program.isLoaded<FrmCleaner>());
    QVERIFY(!program.isLoaded<FrmClean>());
    QVERIFY(!program.anyLoaded());
    QCOMPARE(m_session->endedCount(), 1);
    QVERIFY(!hostFileExists(QStringLiteral("WINDOWS/cleaner.txt")));
    QVERIFY(!startupFile.isEmpty());
}

void TestFrmOptions::exitWithDialogOpenEndsOnlyWhenItCloses()
{
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();
    Program &program = m_session->program();
    program.guard([&program] { program.window<FrmCleaner>().mnuExit_Click(); });

    QVERIFY(program.isLoaded<FrmOptions>());
    QVERIFY(dialog.isVisible());
    QCOMPARE(m_session->endedCount(), 0);

    QTest::mouseClick(child<QPushButton>(dialog, "cmdCancel"), Qt::LeftButton);
    QCOMPARE(m_session->endedCount(), 1);
    QVERIFY(!program.anyLoaded());
}

void TestFrmOptions::askingAgainRaisesTheOpenDialog()
{
    QVERIFY(m_session->start());
    FrmOptions &first = m_session->openOptions();
    clickOption(first, "Option2");
    // Form_Load must not run again: it would re-read the flag file.
    writeHostFile(QStringLiteral("WINDOWS/options.ini"), flagBytes);

    FrmOptions &second = m_session->openOptions();
    QCOMPARE(&second, &first);
    QVERIFY(second.isVisible());
    QVERIFY(child<QRadioButton>(second, "Option2")->isChecked());
    QVERIFY(child<QRadioButton>(second, "Option2")->isEnabled());
    QVERIFY(!child<QRadioButton>(second, "Option1")->isEnabled());

    int shown = 0;
    for (QWidget *window : QApplication::topLevelWidgets())
        shown += qobject_cast<FrmOptions *>(window) && window->isVisible() ? 1 : 0;
    QCOMPARE(shown, 1);
}

void TestFrmOptions::failingOkIsReportedAndTheDialogStays_data()
{
    QTest::addColumn<QString>("pick");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("frameShown");

    // options.ini as a folder: first-match ignores it (off), open-for-output cannot replace it.
    QTest::newRow("advanced, flag name taken by a folder") << "Option2" << 75 << true;
    // The flag file vanished between load and OK: nothing left to delete.
    QTest::newRow("classic, flag file already gone") << "Option1" << 53 << false;
}

void TestFrmOptions::failingOkIsReportedAndTheDialogStays()
{
    QFETCH(QString, pick);
    QFETCH(int, error);
    QFETCH(bool, frameShown);

    if (pick == QStringLiteral("Option2"))
        m_drive->folder("WINDOWS/options.ini");
    else
        writeHostFile(QStringLiteral("WINDOWS/options.ini"), flagBytes);
    QVERIFY(m_session->start());
    FrmOptions &dialog = m_session->openOptions();
    clickOption(dialog, pick.toLatin1().constData());
    if (pick == QStringLiteral("Option1"))
        QVERIFY(QFile::remove(hostPath(QStringLiteral("WINDOWS/options.ini"))));

    pressOk(dialog);
    QCOMPARE(m_session->failureNumbers(), QList<int>{error});
    // Stopped at the failing step: the frame change before it stays made.
    QCOMPARE(m_session->frame2()->isVisible(), frameShown);
    QVERIFY(m_session->program().isLoaded<FrmOptions>());
    QVERIFY(dialog.isVisible());

    // The program goes on: the dialog still closes normally.
    QTest::mouseClick(child<QPushButton>(dialog, "cmdCancel"), Qt::LeftButton);
    QVERIFY(!m_session->program().isLoaded<FrmOptions>());
    QVERIFY(m_session->program().isLoaded<FrmCleaner>());
    QCOMPARE(m_session->failures().size(), std::size_t{1});
}

QTEST_MAIN(TestFrmOptions)
#include "test_frm_options.moc"
