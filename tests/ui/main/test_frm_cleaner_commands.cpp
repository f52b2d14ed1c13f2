// The main window's commands: the selection rule, Select All and Deselect
// All, the clean run's effect on the window, and the toolbar's dispatch.
#include "support/FaultySystemCalls.h"
#include "support/ProgramSession.h"
#include "support/TestDrive.h"
#include "ui/main/FrmCleaner.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QMenuBar>
#include <QHash>
#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QThread>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

#include <cerrno>
#include <utility>

class TestFrmCleanerCommands : public QObject
{
    Q_OBJECT

private slots:
    void selectionRule_data();
    void selectionRule();
    void buttonsFollowEachNestedChange_data();
    void buttonsFollowEachNestedChange();
    void classicValues_data();
    void classicValues();
    void toolbarDispatch_data();
    void toolbarDispatch();
    void keys_data();
    void keys();
    void noPopUpMenu_data();
    void noPopUpMenu();
    void toolbarCleanWithNothingTickedTouchesNoFile();
    void cleanResetsTheWindow();
    void greyedBoxIsNotCleaned();
    void failedCleanKeepsBoxesAndReports();
    void busyCursorWhileCleaning_data();
    void busyCursorWhileCleaning();
    void windowLivesThroughTheRun_data();
    void windowLivesThroughTheRun();
};

void TestFrmCleanerCommands::selectionRule_data()
{
    // Steps: "+N" tick box N, "-N" untick it (mouse clicks), "A" Select All,
    // "D" Deselect All, "gN" grey box N from code.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("one ticked") << QStringList{"+4"} << true;
    QTest::newRow("last unticked") << QStringList{"+4", "-4"} << false;
    QTest::newRow("Check6 kept while Check3 comes and goes") << QStringList{"+6", "+3", "-3"} << true;
    QTest::newRow("Check1 kept while Check6 comes and goes") << QStringList{"+1", "+6", "-6"} << true;
    QTest::newRow("select all") << QStringList{"A"} << true;
    QTest::newRow("select all twice") << QStringList{"A", "A"} << true;
    QTest::newRow("select all, untick five") << QStringList{"A", "-1", "-2", "-3", "-4", "-5"} << true;
    QTest::newRow("select all, untick all six") << QStringList{"A", "-6", "-5", "-4", "-3", "-2", "-1"} << false;
    QTest::newRow("deselect all") << QStringList{"+2", "+5", "D"} << false;
    QTest::newRow("deselect all, tick again") << QStringList{"A", "D", "+3"} << true;
    QTest::newRow("greyed counts as unticked") << QStringList{"+2", "g2"} << false;
    QTest::newRow("greyed beside a ticked box") << QStringList{"g1", "+5"} << true;
}

void TestFrmCleanerCommands::selectionRule()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, enabled);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    QVERIFY(QTest::qWaitForWindowExposed(&session.window()));

    for (const QString &step : steps) {
        const int number = step.right(1).toInt();
        if (step.startsWith(QLatin1Char('+'))) {
            QCOMPARE(session.value(number), 0);
            session.clickBox(number);
            QCOMPARE(session.value(number), 1);
        } else if (step.startsWith(QLatin1Char('-'))) {
            QCOMPARE(session.value(number), 1);
            session.clickBox(number);
            QCOMPARE(session.value(number), 0);
        } else if (step == QLatin1String("A")) {
            QTest::mouseClick(session.command(2), Qt::LeftButton);
        } else if (step == QLatin1String("D")) {
            QVERIFY(session.command(3)->isEnabled());
            QTest::mouseClick(session.command(3), Qt::LeftButton);
        } else if (step.startsWith(QLatin1Char('g'))) {
            FrmCleaner::setCheckValue(*session.box(number), 2);
        }
        // The invariant holds after every step, not just at the end.
        QCOMPARE(session.command(1)->isEnabled(), (session.tickedCount() > 0));
        QCOMPARE(session.command(3)->isEnabled(), (session.tickedCount() > 0));
        QVERIFY(session.command(2)->isEnabled());
    }
    QCOMPARE(session.command(1)->isEnabled(), enabled);
    QCOMPARE(session.command(3)->isEnabled(), enabled);
    QVERIFY(session.failures().empty());
}

void TestFrmCleanerCommands::buttonsFollowEachNestedChange_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QList<bool>>("cleanAfterEachChange");
    QTest::newRow("Select All") << 2 << QList<bool>{true, true, true, true, true, true};
    QTest::newRow("Deselect All") << 3 << QList<bool>{true, true, true, true, true, false};
}

void TestFrmCleanerCommands::buttonsFollowEachNestedChange()
{
    QFETCH(int, button);
    QFETCH(QList<bool>, cleanAfterEachChange);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    if (button == 3)
        QTest::mouseClick(session.command(2), Qt::LeftButton);

    // Connected after the window's own handlers, so each sees the state the
    // nested Click left behind, while the command is still running.
    QList<bool> seen;
    for (int number = 1; number <= 6; ++number) {
        connect(session.box(number), &QCheckBox::stateChanged, this,
                [&session, &seen] { seen << session.command(1)->isEnabled(); });
    }
    QTest::mouseClick(session.command(button), Qt::LeftButton);
    QCOMPARE(seen, cleanAfterEachChange);
}

void TestFrmCleanerCommands::classicValues_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<Qt::CheckState>("qtState");
    QTest::addColumn<int>("afterClick");
    QTest::addColumn<int>("afterSecondClick");
    QTest::newRow("unticked") << 0 << Qt::Unchecked << 1 << 0;
    QTest::newRow("ticked") << 1 << Qt::Checked << 0 << 1;
    // A user's click never produces the greyed value, even once code set it.
    QTest::newRow("greyed") << 2 << Qt::PartiallyChecked << 1 << 0;
}

void TestFrmCleanerCommands::classicValues()
{
    QFETCH(int, value);
    QFETCH(Qt::CheckState, qtState);
    QFETCH(int, afterClick);
    QFETCH(int, afterSecondClick);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    QCheckBox *box = session.box(3);
    FrmCleaner::setCheckValue(*box, value);
    QCOMPARE(box->checkState(), qtState);
    QCOMPARE(FrmCleaner::checkValue(*box), value);
    session.clickBox(3);
    QCOMPARE(FrmCleaner::checkValue(*box), afterClick);
    session.clickBox(3);
    QCOMPARE(FrmCleaner::checkValue(*box), afterSecondClick);
    session.clickBox(3);
    QVERIFY(FrmCleaner::checkValue(*box) != 2);
}

void TestFrmCleanerCommands::toolbarDispatch_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("cleanerLoaded");
    QTest::addColumn<bool>("aboutLoaded");
    QTest::addColumn<bool>("optionsLoaded");
    QTest::addColumn<bool>("cleaned");

    QTest::newRow("Clean") << QStringLiteral("Clean") << true << false << false << true;
    QTest::newRow("About") << QStringLiteral("About") << true << true << false << false;
    QTest::newRow("Options") << QStringLiteral("Options") << true << false << true << false;
    QTest::newRow("Exit") << QStringLiteral("Exit") << false << false << false << false;
    QTest::newRow("HelpTopics") << QStringLiteral("HelpTopics") << true << false << false << false;
    // Keys are compared exactly, case included.
    QTest::newRow("clean") << QStringLiteral("clean") << true << false << false << false;
    QTest::newRow("Exit ") << QStringLiteral("Exit ") << true << false << false << false;
    QTest::newRow("empty") << QString() << true << false << false << false;
}

void TestFrmCleanerCommands::toolbarDispatch()
{
    QFETCH(QString, key);
    QFETCH(bool, cleanerLoaded);
    QFETCH(bool, aboutLoaded);
    QFETCH(bool, optionsLoaded);
    QFETCH(bool, cleaned);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fill(4, TestDrive::Fill::Junk);
    QVERIFY(session.start());
    FrmCleaner &window = session.window();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    session.clickBox(4);
    const TestDrive::Snapshot before = drive.snapshot();

    if (QAction *button = toolbarButton(window, key)) {
        // A real button: pressed with the mouse.
        auto *toolButton = window.findChild<QToolBar *>(QStringLiteral("Toolbar1"))->widgetForAction(button);
        QTest::mouseClick(toolButton, Qt::LeftButton);
    } else {
        QAction other;
        other.setData(key);
        window.Toolbar1_ButtonClick(other);
    }

    QCOMPARE(session.program().isLoaded<FrmCleaner>(), cleanerLoaded);
    QCOMPARE(session.program().isLoaded<FrmClean>(), cleanerLoaded);
    QCOMPARE(session.program().isLoaded<FrmAbout>(), aboutLoaded);
    QCOMPARE(session.program().isLoaded<FrmOptions>(), optionsLoaded);
    QCOMPARE(drive.snapshot() != before, cleaned);
    if (cleanerLoaded)
        QCOMPARE(session.value(4), cleaned ? 0 : 1);
    QVERIFY(session.failures().empty());
}

void TestFrmCleanerCommands::keys_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("tickedAfter");

    // Check4 is ticked before each key; a clean run unticks it.
    QTest::newRow("Enter on Clean") << QStringLiteral("Command1") << int(Qt::Key_Return) << 0;
    QTest::newRow("keypad Enter on Clean") << QStringLiteral("Command1") << int(Qt::Key_Enter) << 0;
    QTest::newRow("Space on Clean") << QStringLiteral("Command1") << int(Qt::Key_Space) << 0;
    QTest::newRow("Enter on Select All") << QStringLiteral("Command2") << int(Qt::Key_Return) << 6;
    QTest::newRow("Enter on Deselect All") << QStringLiteral("Command3") << int(Qt::Key_Return) << 0;
    QTest::newRow("Enter on a box") << QStringLiteral("Check4") << int(Qt::Key_Return) << 1;
    QTest::newRow("Esc on Clean") << QStringLiteral("Command1") << int(Qt::Key_Escape) << 1;
    QTest::newRow("Esc on a box") << QStringLiteral("Check4") << int(Qt::Key_Escape) << 1;
}

void TestFrmCleanerCommands::keys()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(int, tickedAfter);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    FrmCleaner &window = session.window();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    session.clickBox(4);
    auto *target = window.findChild<QWidget *>(focus);
    target->setFocus();
    QCOMPARE(QApplication::focusWidget(), target);

    QTest::keyClick(target, Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);

    int ticked = 0;
    for (int number = 1; number <= 6; ++number)
        ticked += session.value(number) == 1 ? 1 : 0;
    QCOMPARE(ticked, tickedAfter);
    QCOMPARE(session.command(1)->isEnabled(), tickedAfter > 0);
    QVERIFY(session.program().isLoaded<FrmCleaner>());
    QVERIFY(session.failures().empty());
}

void TestFrmCleanerCommands::noPopUpMenu_data()
{
    QTest::addColumn<QString>("place");
    QTest::newRow("menu bar") << QStringLiteral("menuBar");
    QTest::newRow("toolbar") << QStringLiteral("Toolbar1");
    QTest::newRow("client area") << QStringLiteral("client");
    QTest::newRow("frame") << QStringLiteral("Frame1");
    QTest::newRow("status bar") << QStringLiteral("StatusBar1");
}

void TestFrmCleanerCommands::noPopUpMenu()
{
    QFETCH(QString, place);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.write(QStringLiteral("WINDOWS/options.ini"), "x");
    QVERIFY(session.start());
    FrmCleaner &window = session.window();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *target = window.findChild<QWidget *>(place);
    QVERIFY(target);
    const QPoint inside(target->width() - 3, target->height() / 2);
    QContextMenuEvent event(QContextMenuEvent::Mouse, inside, target->mapToGlobal(inside));

    QApplication::sendEvent(target, &event);

    QWidget *popUp = QApplication::activePopupWidget();
    if (popUp)
        popUp->close();
    QVERIFY2(!popUp, "a pop-up menu opened");
    QVERIFY(window.findChild<QToolBar *>(QStringLiteral("Toolbar1"))->isVisible());
}

void TestFrmCleanerCommands::toolbarCleanWithNothingTickedTouchesNoFile()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    drive.fillAll(TestDrive::Fill::Junk);
    // Declared before the session: the file services use it until the session is gone.
    FaultySystemCalls calls;
    ProgramSession session(drive, &calls);
    QVERIFY(session.start());
    FrmCleaner &window = session.window();
    QVERIFY(!session.command(1)->isEnabled());
    const std::string directory = session.files().currentDirectory();
    const TestDrive::Snapshot before = drive.snapshot();
    calls.arm(0, 0); // only counts

    QAction *clean = toolbarButton(window, QStringLiteral("Clean"));
    QVERIFY(clean);
    clean->trigger();

    QCOMPARE(calls.count(), 0);
    QCOMPARE(session.files().currentDirectory(), directory);
    QCOMPARE(drive.snapshot(), before);
    QVERIFY(!session.command(1)->isEnabled());
    QVERIFY(!session.command(3)->isEnabled());
    QVERIFY(session.failures().empty());
}

void TestFrmCleanerCommands::cleanResetsTheWindow()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fillAll(TestDrive::Fill::Junk);
    QVERIFY(session.start());
    QTest::mouseClick(session.command(2), Qt::LeftButton);
    QTest::mouseClick(session.command(1), Qt::LeftButton);

    QVERIFY(session.failures().empty());
    for (int number = 1; number <= 6; ++number)
        QCOMPARE(session.value(number), 0);
    QVERIFY(!session.command(1)->isEnabled());
    QVERIFY(!session.command(3)->isEnabled());
    QVERIFY(session.command(2)->isEnabled());
    // The run leaves the last target's folder current.
    QCOMPARE(QString::fromStdString(session.files().currentDirectory()).toUpper(),
             QStringLiteral("C:\\WINDOWS\\DOWNLOADED PROGRAM FILES"));
    QCOMPARE(drive.read(TestDrive::windows98Folder(4) + QStringLiteral("/deleted.txt")), TestDrive::markerLine());
}

void TestFrmCleanerCommands::greyedBoxIsNotCleaned()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fill(4, TestDrive::Fill::Junk);
    drive.fill(5, TestDrive::Fill::Junk);
    QVERIFY(session.start());
    const QStringList temp = drive.entries(TestDrive::windows98Folder(4));
    FrmCleaner::setCheckValue(*session.box(4), 2);
    session.clickBox(5);
    QTest::mouseClick(session.command(1), Qt::LeftButton);

    QVERIFY(session.failures().empty());
    QCOMPARE(drive.entries(TestDrive::windows98Folder(4)), temp);
    QVERIFY(drive.entries(TestDrive::windows98Folder(5)).contains(QStringLiteral("deleted.txt")));
    QCOMPARE(session.value(4), 0);
    QCOMPARE(session.value(5), 0);
}

void TestFrmCleanerCommands::failedCleanKeepsBoxesAndReports()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fill(3, TestDrive::Fill::Junk);
    drive.fill(5, TestDrive::Fill::Junk);
    drive.removeTree(drive.targetFolder(4));
    QVERIFY(session.start());
    for (int number : {3, 4, 5})
        session.clickBox(number);
    const QStringList recycled = drive.entries(TestDrive::windows98Folder(5));

    QTest::mouseClick(session.command(1), Qt::LeftButton);

    QCOMPARE(session.failures().size(), std::size_t{1});
    QCOMPARE(session.failures().front().number(), 76);
    // Target 3 was done before the failure; 5 was never reached.
    QVERIFY(drive.entries(TestDrive::windows98Folder(3)).contains(QStringLiteral("deleted.txt")));
    QCOMPARE(drive.entries(TestDrive::windows98Folder(5)), recycled);
    for (int number : {3, 4, 5})
        QCOMPARE(session.value(number), 1);
    QVERIFY(session.command(1)->isEnabled());
    QVERIFY(session.command(3)->isEnabled());
    // The program goes on: the window still answers.
    QTest::mouseClick(session.command(3), Qt::LeftButton);
    QVERIFY(!(session.tickedCount() > 0));
    QVERIFY(!session.command(1)->isEnabled());
}

void TestFrmCleanerCommands::busyCursorWhileCleaning_data()
{
    QTest::addColumn<bool>("fails");
    QTest::newRow("success") << false;
    QTest::newRow("failure") << true;
}

void TestFrmCleanerCommands::busyCursorWhileCleaning()
{
    QFETCH(bool, fails);

    TestDrive drive(TestDrive::Layout::Windows98);
    drive.fill(4, TestDrive::Fill::Junk);
    if (fails)
        drive.removeTree(drive.targetFolder(4));
    bool sawBusyCursor = false;
    FaultySystemCalls calls;
    calls.setWatcher([&sawBusyCursor](const char *) {
        const QCursor *cursor = QApplication::overrideCursor();
        sawBusyCursor = sawBusyCursor || (cursor && cursor->shape() == Qt::WaitCursor);
    });
    calls.arm(0, 0);
    ProgramSession session(drive, &calls);
    QVERIFY(session.start());
    session.clickBox(4);
    QVERIFY(!sawBusyCursor);

    QTest::mouseClick(session.command(1), Qt::LeftButton);

    QVERIFY(sawBusyCursor);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QCOMPARE(session.failures().size(), std::size_t(fails ? 1 : 0));
}

namespace {

// What the window went through, in order, from whichever thread saw it.
class EventLog : public QObject
{
public:
    void add(const QString &entry)
    {
        const QMutexLocker lock(&m_mutex);
        m_entries << entry;
    }
    QStringList entries()
    {
        const QMutexLocker lock(&m_mutex);
        return m_entries;
    }

    // The input as the window system hands it to the window, and the first
    // paint after the input was sent.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Input is seen where the window system hands it over, once; the
        // widgets it then goes to would see a key or a close again.
        if (watched->isWidgetType() && event->type() != QEvent::Paint)
            return false;
        static const QHash<QEvent::Type, QString> inputs{{QEvent::MouseButtonPress, QStringLiteral("press")},
                                                         {QEvent::MouseButtonRelease, QStringLiteral("release")},
                                                         {QEvent::KeyPress, QStringLiteral("key")},
                                                         {QEvent::Close, QStringLiteral("close")}};
        if (const auto input = inputs.constFind(event->type()); input != inputs.constEnd()) {
            add(*input);
        } else if (event->type() == QEvent::Paint && waitingForPaint) {
            waitingForPaint = false;
            add(QStringLiteral("painted"));
            painted.release();
        }
        return false;
    }

    bool waitingForPaint = false;
    QSemaphore painted;

private:
    QMutex m_mutex;
    QStringList m_entries;
};

// Sends a click at the middle of control the way a platform does: into the
// window system's queue, delivered whenever the event loop takes it.
void postClick(QWidget &window, QWidget &control)
{
    const QPointF at = control.mapTo(&window, control.rect().center());
    const QPointF global = window.mapToGlobal(at);
    QWindow *handle = window.windowHandle();
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        handle, at, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        handle, at, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
}

} // namespace

void TestFrmCleanerCommands::windowLivesThroughTheRun_data()
{
    // input: sent while the run is held at its first delete, "SelectAll",
    // "Check4" and "ToolbarClean" clicks, "key" (A), "close" from the window
    // system. failAt: the delete that fails, or 0. Log entries "N:v+" are box
    // N changing to v with Clean enabled after its Click ran ("-" disabled);
    // "second run" is a delete of a run after the first.
    QTest::addColumn<QStringList>("input");
    QTest::addColumn<long>("failAt");
    QTest::addColumn<QStringList>("log");

    const QStringList reset{"1:0+", "2:0+", "3:0+", "4:0+", "5:0+", "6:0-"};
    const QStringList selectAll{"1:1+", "2:1+", "3:1+", "4:1+", "5:1+", "6:1+"};
    QTest::newRow("click, key and close wait for the run")
        << QStringList{"SelectAll", "key", "close"} << 0L
        << (QStringList{"sent", "painted"} + reset + QStringList{"press", "release"} + selectAll
            + QStringList{"key", "close"});
    // Select All finds every box ticked still, so it changes none.
    QTest::newRow("failure in the middle")
        << QStringList{"SelectAll", "key", "close"} << 3L
        << QStringList{"sent", "painted", "failure on the window's thread, 6 ticked, Clean enabled", "press",
                       "release", "key", "close"};
    QTest::newRow("toolbar Clean runs after the run, not beside it")
        << QStringList{"Check4", "ToolbarClean"} << 0L
        << (QStringList{"sent", "painted"} + reset
            + QStringList{"press", "release", "4:1+", "press", "release", "second run", "4:0-"});
}

void TestFrmCleanerCommands::windowLivesThroughTheRun()
{
    QFETCH(QStringList, input);
    QFETCH(long, failAt);
    QFETCH(QStringList, log);

    TestDrive drive(TestDrive::Layout::Windows98);
    drive.fillAll(TestDrive::Fill::Junk);
    FaultySystemCalls calls;
    ProgramSession session(drive, &calls);
    QVERIFY(session.start());
    FrmCleaner &window = session.window();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(session.command(2), Qt::LeftButton);

    EventLog events;
    window.windowHandle()->installEventFilter(&events);
    window.installEventFilter(&events);
    for (int number = 1; number <= 6; ++number) {
        connect(session.box(number), &QCheckBox::stateChanged, this, [&session, &events, number] {
            events.add(QStringLiteral("%1:%2%3")
                           .arg(number)
                           .arg(session.value(number))
                           .arg(session.command(1)->isEnabled() ? '+' : '-'));
        });
    }
    session.program().setFailureReporter([&session, &events](const FileError &) {
        events.add(QStringLiteral("failure on the %1 thread, %2 ticked, Clean %3")
                       .arg(QThread::currentThread() == qApp->thread() ? "window's" : "work's")
                       .arg(session.tickedCount())
                       .arg(session.command(1)->isEnabled() ? "enabled" : "disabled"));
    });

    // The run is held at its first delete until the window has painted,
    // which it can only do while the run is away; held for good it would
    // show as a run that never lets the window paint.
    QWidget *toolbarClean =
        window.findChild<QToolBar *>(QStringLiteral("Toolbar1"))->widgetForAction(toolbarButton(window, QStringLiteral("Clean")));
    bool held = false;
    bool firstRunOver = false;
    bool secondRunSeen = false;
    connect(session.box(6), &QCheckBox::stateChanged, this, [&firstRunOver] { firstRunOver = true; });
    calls.setWatcher([&](const char *) {
        if (firstRunOver && !std::exchange(secondRunSeen, true))
            events.add(QStringLiteral("second run"));
        if (firstRunOver || std::exchange(held, true))
            return;
        QMetaObject::invokeMethod(&window, [&] {
            for (const QString &what : input) {
                if (what == QLatin1String("SelectAll")) {
                    postClick(window, *session.command(2));
                } else if (what == QLatin1String("Check4")) {
                    postClick(window, *session.box(4));
                } else if (what == QLatin1String("ToolbarClean")) {
                    postClick(window, *toolbarClean);
                } else if (what == QLatin1String("key")) {
                    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
                        window.windowHandle(), QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
                    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
                        window.windowHandle(), QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
                } else if (what == QLatin1String("close")) {
                    QWindowSystemInterface::handleCloseEvent<QWindowSystemInterface::AsynchronousDelivery>(
                        window.windowHandle());
                }
            }
            events.add(QStringLiteral("sent"));
            events.waitingForPaint = true;
            window.update();
        }, Qt::QueuedConnection);
        events.painted.tryAcquire(1, 5000);
    });
    calls.arm(failAt, EIO, "unlinkat");

    QTest::mouseClick(session.command(1), Qt::LeftButton);
    const bool closes = input.contains(QStringLiteral("close"));
    if (closes)
        QTRY_COMPARE(session.endedCount(), 1);
    else
        QTRY_COMPARE(events.entries().size(), log.size());
    QCOMPARE(events.entries(), log);
    QCOMPARE(calls.struck(), failAt != 0);
}

QTEST_MAIN(TestFrmCleanerCommands)
#include "test_frm_cleaner_commands.moc"
