// The window runtime: start-up, shutdown, the window model and the event
// guard, on throw-away drives.
#include "engine/CleaningTargets.h"
#include "runtime/CleanProgress.h"
#include "runtime/FrmClean.h"
#include "support/FaultySystemCalls.h"
#include "support/ProgramSession.h"
#include "support/TestDrive.h"
#include "ui/about/FrmAbout.h"
#include "ui/main/FrmCleaner.h"
#include "ui/options/FrmOptions.h"

#include <QAction>
#include <QGroupBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolBar>

#include <sys/stat.h>

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void startUp_data();
    void startUp();
    void driveWithoutWindows_data();
    void driveWithoutWindows();
    void startUpFileFailureLeavesWindowUp();
    void failedMainWindowLoadStillShowsIt();
    void failedDialogLoadStillShowsIt();
    void windowDestroyedWithoutUnload();
    void exit_data();
    void exit();
    void exitWhileAboutIsOpen();
    void windowModel();
    void guardReportsAndGoesOn();
    void nestedFailureStopsTheOuterHandler();
    void describe_data();
    void describe();
    void progressPace_data();
    void progressPace();
    void cleanProgress_data();
    void cleanProgress();
    void cleanShowsProgress_data();
    void cleanShowsProgress();
};

void TestProgram::startUp_data()
{
    QTest::addColumn<QString>("flagName");
    QTest::addColumn<QByteArray>("flagContent");
    QTest::addColumn<QByteArray>("staleCleaner");
    QTest::addColumn<bool>("advanced");

    QTest::newRow("no flag file") << QString() << QByteArray() << QByteArray() << false;
    QTest::newRow("flag file") << QStringLiteral("options.ini") << QByteArray("\"Advanced mode = on\"\r\n")
                               << QByteArray() << true;
    QTest::newRow("empty flag file") << QStringLiteral("options.ini") << QByteArray() << QByteArray() << true;
    QTest::newRow("other content") << QStringLiteral("options.ini") << QByteArray("off\r\n") << QByteArray() << true;
    QTest::newRow("in capitals") << QStringLiteral("OPTIONS.INI") << QByteArray("x") << QByteArray() << false;
    QTest::newRow("mixed case") << QStringLiteral("Options.ini") << QByteArray("x") << QByteArray() << false;
    QTest::newRow("stale cleaner.txt") << QString() << QByteArray()
                                       << QByteArray(4096, 'z') + "\"Hello World\"\r\n" << false;
    QTest::newRow("shorter stale cleaner.txt") << QString() << QByteArray() << QByteArray("\"Hi\"") << false;
}

void TestProgram::startUp()
{
    QFETCH(QString, flagName);
    QFETCH(QByteArray, flagContent);
    QFETCH(QByteArray, staleCleaner);
    QFETCH(bool, advanced);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    if (!flagName.isEmpty())
        drive.write(QStringLiteral("WINDOWS/") + flagName, flagContent);
    if (!staleCleaner.isEmpty())
        drive.write(QStringLiteral("WINDOWS/cleaner.txt"), staleCleaner);

    QVERIFY(session.start());
    Program &program = session.program();
    QVERIFY(session.failures().empty());
    QVERIFY(session.messages().isEmpty());

    QVERIFY(program.isLoaded<FrmClean>());
    QVERIFY(program.isLoaded<FrmCleaner>());
    QVERIFY(!program.isLoaded<FrmOptions>());
    QVERIFY(!program.isLoaded<FrmAbout>());
    QVERIFY(!program.window<FrmClean>().isVisible());
    QVERIFY(program.window<FrmCleaner>().isVisible());

    auto *frame2 = program.window<FrmCleaner>().findChild<QGroupBox *>(QStringLiteral("Frame2"));
    QCOMPARE(frame2->isVisible(), advanced);
    QCOMPARE(frame2->isEnabled(), advanced);

    QCOMPARE(drive.read(QStringLiteral("WINDOWS/cleaner.txt")), TestDrive::startupLine());
    QCOMPARE(QString::fromStdString(session.files().currentDirectory()), QStringLiteral("C:\\WINDOWS"));
    // The flag file is only looked at, never changed.
    if (!flagName.isEmpty())
        QCOMPARE(drive.read(QStringLiteral("WINDOWS/") + flagName), flagContent);
}

void TestProgram::driveWithoutWindows_data()
{
    QTest::addColumn<int>("refusal");
    QTest::addColumn<QString>("said");
    QTest::newRow("no WINDOWS") << 0 << QStringLiteral("has no WINDOWS folder");
    QTest::newRow("WINDOWS may not be entered") << EACCES << QStringLiteral("Permission denied");
    QTest::newRow("WINDOWS on a failing device") << EIO << QStringLiteral("Device I/O error");
}

void TestProgram::driveWithoutWindows()
{
    QFETCH(int, refusal);
    QFETCH(QString, said);

    TestDrive drive(TestDrive::Layout::Windows98);
    // Entering a folder checks the right to enter it last; that check fails,
    // as it does for a folder that is there but may not be entered.
    FaultySystemCalls calls;
    calls.arm(1, refusal, "faccessat");
    if (refusal == 0)
        QVERIFY(QDir(drive.hostPath(QStringLiteral("WINDOWS"))).removeRecursively());
    const TestDrive::Snapshot before = drive.snapshot();
    ProgramSession session(drive, &calls);
    Program &program = session.program();

    QVERIFY(!session.start());

    QCOMPARE(session.messages().size(), 1);
    const QString &message = session.messages().front();
    QVERIFY(message.contains(QString::fromStdString(drive.root())));
    QVERIFY2(message.contains(said), qPrintable(message));
    // A WINDOWS folder that is there is not called missing.
    QCOMPARE(message.contains(QStringLiteral("no WINDOWS folder")), refusal == 0);
    QVERIFY(session.failures().empty());
    QVERIFY(!program.anyLoaded());
    QCOMPARE(drive.snapshot(), before);
}

void TestProgram::startUpFileFailureLeavesWindowUp()
{
    // A read-only cleaner.txt is never overwritten: step 3 fails, after the
    // main window is up.
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.write(QStringLiteral("WINDOWS/cleaner.txt"), "old");
    QVERIFY(QFile::setPermissions(drive.hostPath(QStringLiteral("WINDOWS/cleaner.txt")),
                                  QFile::ReadOwner | QFile::ReadGroup));

    QVERIFY(session.start());

    QCOMPARE(session.failures().size(), std::size_t{1});
    QVERIFY(session.program().isLoaded<FrmCleaner>());
    QVERIFY(session.window().isVisible());
    QCOMPARE(drive.read(QStringLiteral("WINDOWS/cleaner.txt")), QByteArray("old"));
}

void TestProgram::failedMainWindowLoadStillShowsIt()
{
    // Start-up enters c:\windows, then the start-up sequence does, then the
    // main window's load fails on its own entry: the window still comes up,
    // so it can be closed, and the start-up sequence stops before
    // cleaner.txt.
    TestDrive drive(TestDrive::Layout::Windows98);
    drive.write(QStringLiteral("WINDOWS/options.ini"), "x");
    FaultySystemCalls calls;
    calls.arm(3, EIO, "faccessat");
    ProgramSession session(drive, &calls);

    QVERIFY(session.start());

    QCOMPARE(session.failures().size(), std::size_t{1});
    QCOMPARE(session.failures().front().number(), 57);
    QVERIFY(session.window().isVisible());
    QVERIFY(!session.window().findChild<QGroupBox *>(QStringLiteral("Frame2"))->isVisible());
    QVERIFY(!drive.entries(QStringLiteral("WINDOWS")).contains(QStringLiteral("cleaner.txt")));
}

void TestProgram::failedDialogLoadStillShowsIt()
{
    // With c:\windows gone, the options dialog's load stops with both
    // choices disabled; it is shown all the same, so that Cancel can close
    // it and the program end after Exit.
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    Program &program = session.program();
    QVERIFY(QDir(drive.hostPath(QStringLiteral("WINDOWS"))).removeRecursively());

    program.window<FrmCleaner>().findChild<QAction *>(QStringLiteral("mnuOptions"))->trigger();

    QCOMPARE(session.failures().size(), std::size_t{1});
    QCOMPARE(session.failures().front().number(), 76);
    FrmOptions &dialog = program.window<FrmOptions>();
    QVERIFY(dialog.isVisible());
    QVERIFY(!dialog.findChild<QRadioButton *>(QStringLiteral("Option1"))->isEnabled());
    QVERIFY(!dialog.findChild<QRadioButton *>(QStringLiteral("Option2"))->isEnabled());

    program.window<FrmCleaner>().findChild<QAction *>(QStringLiteral("mnuExit"))->trigger();
    QCOMPARE(session.endedCount(), 0);
    QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("cmdCancel")), Qt::LeftButton);
    QCOMPARE(session.endedCount(), 1);
    QVERIFY(!program.anyLoaded());
}

void TestProgram::windowDestroyedWithoutUnload()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    Program &program = session.program();
    program.show<FrmAbout>();
    program.window<FrmCleaner>().mnuExit_Click();
    QCOMPARE(session.endedCount(), 0);

    delete &program.window<FrmAbout>();

    QVERIFY(!program.isLoaded<FrmAbout>());
    QCOMPARE(session.endedCount(), 1);
}

void TestProgram::exit_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("menu") << QStringLiteral("menu");
    QTest::newRow("toolbar") << QStringLiteral("toolbar");
    QTest::newRow("window system") << QStringLiteral("close");
    QTest::newRow("handler") << QStringLiteral("handler");
}

void TestProgram::exit()
{
    QFETCH(QString, way);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    Program &program = session.program();
    QPointer<FrmCleaner> window = &program.window<FrmCleaner>();
    QPointer<FrmClean> startUp = &program.window<FrmClean>();

    if (way == QLatin1String("menu"))
        window->findChild<QAction *>(QStringLiteral("mnuExit"))->trigger();
    else if (way == QLatin1String("toolbar"))
        toolbarButton(*window, QStringLiteral("Exit"))->trigger();
    else if (way == QLatin1String("close"))
        window->close();
    else
        window->mnuExit_Click();

    QVERIFY(!program.anyLoaded());
    QCOMPARE(session.endedCount(), 1);
    QVERIFY(window && window->isHidden());
    QTRY_VERIFY(!window && !startUp);
    QCOMPARE(session.endedCount(), 1);
    QVERIFY(session.failures().empty());
}

void TestProgram::exitWhileAboutIsOpen()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    Program &program = session.program();

    program.show<FrmAbout>();
    QPointer<FrmAbout> about = &program.window<FrmAbout>();
    program.window<FrmCleaner>().findChild<QAction *>(QStringLiteral("mnuExit"))->trigger();

    QVERIFY(!program.isLoaded<FrmCleaner>());
    QVERIFY(!program.isLoaded<FrmClean>());
    QVERIFY(program.isLoaded<FrmAbout>());
    QCOMPARE(session.endedCount(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(about && about->isVisible());
    QCOMPARE(session.endedCount(), 0);

    program.unload<FrmAbout>();
    QCOMPARE(session.endedCount(), 1);
    QVERIFY(!program.anyLoaded());
}

void TestProgram::windowModel()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    Program &program = session.program();

    // hide keeps a window loaded; show brings the same one back.
    QPointer<FrmCleaner> window = &program.window<FrmCleaner>();
    program.hide<FrmCleaner>();
    QVERIFY(program.isLoaded<FrmCleaner>() && window->isHidden());
    program.show<FrmCleaner>();
    QCOMPARE(&program.window<FrmCleaner>(), window.data());
    QVERIFY(window->isVisible());

    // Touching an unloaded window loads it without showing it; hiding one
    // loads it too.
    QVERIFY(!program.isLoaded<FrmAbout>());
    FrmAbout &about = program.window<FrmAbout>();
    QVERIFY(program.isLoaded<FrmAbout>() && !about.isVisible());
    program.unload<FrmAbout>();
    program.hide<FrmAbout>();
    QVERIFY(program.isLoaded<FrmAbout>() && !program.window<FrmAbout>().isVisible());

    // Unloading forgets the window; the next use is a fresh one whose load
    // runs again.
    QPointer<FrmAbout> first = &program.window<FrmAbout>();
    program.unload<FrmAbout>();
    QVERIFY(!program.isLoaded<FrmAbout>());
    QVERIFY(first && first->isHidden());
    QTRY_VERIFY(!first);
    program.show<FrmAbout>();
    QVERIFY(program.window<FrmAbout>().isVisible());
    // Unloading what is not loaded changes nothing.
    program.unload<FrmOptions>();
    QVERIFY(!program.isLoaded<FrmOptions>());
    QVERIFY(program.isLoaded<FrmCleaner>());
}

void TestProgram::guardReportsAndGoesOn()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    Program &program = session.program();

    bool after = false;
    program.guard([&] {
        session.files().changeDirectory("C:\\NOWHERE");
        after = true;
    });
    QVERIFY(!after);
    QCOMPARE(session.failures().size(), std::size_t{1});
    QCOMPARE(session.failures().front().number(), 76);

    program.guard([&] { after = true; });
    QVERIFY(after);
    QCOMPARE(session.failures().size(), std::size_t{1});
    QVERIFY(program.isLoaded<FrmCleaner>());
}

void TestProgram::nestedFailureStopsTheOuterHandler()
{
    // A Click raised from code runs nested; when it fails, the handler that
    // raised it stops there too, and the failure is reported once.
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    Program &program = session.program();
    QStringList steps;
    program.guard([&] {
        steps << QStringLiteral("outer");
        program.guard([&] {
            steps << QStringLiteral("inner");
            session.files().deleteByPattern("C:\\WINDOWS\\*.none");
            steps << QStringLiteral("inner after");
        });
        steps << QStringLiteral("outer after");
    });
    QCOMPARE(steps, (QStringList{QStringLiteral("outer"), QStringLiteral("inner")}));
    QCOMPARE(session.failures().size(), std::size_t{1});
    QCOMPARE(session.failures().front().number(), 53);
}

void TestProgram::describe_data()
{
    QTest::addColumn<QByteArray>("dosPath");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ASCII") << QByteArray("C:\\WINDOWS\\TEMP\\LOCKED.TMP") << QStringLiteral("C:\\WINDOWS\\TEMP\\LOCKED.TMP");
    QTest::newRow("UTF-8") << QByteArray("C:\\TEMP\\caf\xc3\xa9.tmp") << QStringLiteral("C:\\TEMP\\caf\u00e9.tmp");
    QTest::newRow("Latin-1 byte") << QByteArray("C:\\TEMP\\caf\xe9.tmp") << QStringLiteral("C:\\TEMP\\caf\\xE9.tmp");
    QTest::newRow("cut sequence") << QByteArray("C:\\TEMP\\\xe2\x82.tmp") << QStringLiteral("C:\\TEMP\\\\xE2\\x82.tmp");
    QTest::newRow("line break") << QByteArray("C:\\TEMP\\a\nb") << QStringLiteral("C:\\TEMP\\a\\x0Ab");
}

void TestProgram::describe()
{
    QFETCH(QByteArray, dosPath);
    QFETCH(QString, shown);
    const QString text = Program::describe(FileError(75, dosPath.toStdString(), "Read-only file system"));
    QVERIFY(text.contains(QStringLiteral("75")));
    QVERIFY(text.contains(QStringLiteral("Path/File access error")));
    QVERIFY2(text.contains(QStringLiteral("Path: ") + shown + QLatin1Char('\n')), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("Read-only file system")));
    QCOMPARE(Program::title(), QStringLiteral("Win 95/98 Brightsweep"));
}

QTEST_MAIN(TestProgram)
#include "test_program.moc"

void TestProgram::progressPace_data()
{
    // Steps: "F@T" a reading of fraction F at T ms, "end@T" the run ended
    // well, "fail@T" it failed, "begin" the next run. What went out:
    // "T:P+" shows progress P, "T:P-" hides it.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("told");

    QTest::newRow("shown at once, hidden at the end") << "0@0 end@10" << "0:0+ 10:1-";
    QTest::newRow("1 shown before the end when there is time") << "0@0 0.9@200 end@400"
                                                                << "0:0+ 200:0.9+ 400:1+ 400:1-";
    QTest::newRow("never back") << "0@0 0.5@120 0.3@240 0.6@360" << "0:0+ 120:0.5+ 360:0.6+";
    QTest::newRow("nothing new, nothing sent") << "0.4@0 0.4@200 0.4@400" << "0:0.4+";
    QTest::newRow("kept within 0 and 1") << "-0.5@0 1.5@200 end@400" << "0:0+ 200:1+ 400:1-";
    QTest::newRow("a gap between two") << "0@0 0.1@100 0.2@114 0.3@115" << "0:0+ 115:0.3+";
    QTest::newRow("a failure hides what was reached") << "0@0 0.4@200 fail@400" << "0:0+ 200:0.4+ 400:0.4-";
    QTest::newRow("a failure right away") << "0@0 fail@1" << "0:0+ 1:0-";
    // Seven in a second and room for the eighth that hides it; then the
    // first has left the second.
    QTest::newRow("eight in any second") << "0@0 0.1@120 0.2@240 0.3@360 0.4@480 0.5@600 0.6@720 0.7@840 "
                                            "0.8@960 0.9@1080 end@1090"
                                         << "0:0+ 120:0.1+ 240:0.2+ 360:0.3+ 480:0.4+ 600:0.5+ 720:0.6+ "
                                            "1080:0.9+ 1090:1-";
    QTest::newRow("the next run waits out the gap") << "0@0 end@10 begin 0@20 0@140 end@150"
                                                    << "0:0+ 10:1- 140:0+ 150:1-";
    QTest::newRow("a run that showed nothing hides nothing") << "0@0 end@10 begin 0@20 end@30" << "0:0+ 10:1-";
    QTest::newRow("short runs in a row, eight in any second")
        << "0@0 end@1 begin 0@120 end@121 begin 0@240 end@241 begin 0@360 end@361 begin 0@480 end@481 "
           "begin 0@1001 end@1002"
        << "0:0+ 1:1- 120:0+ 121:1- 240:0+ 241:1- 360:0+ 361:1- 1001:0+ 1002:1-";
}

void TestProgram::progressPace()
{
    QFETCH(QString, steps);
    QFETCH(QString, told);

    ProgressPace pace;
    pace.begin();
    QStringList out;
    const auto note = [&](qint64 now, const ProgressPace::Update &update) {
        out << QStringLiteral("%1:%2%3").arg(now).arg(update.progress).arg(update.visible ? '+' : '-');
    };
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        if (step == QLatin1String("begin")) {
            pace.begin();
            continue;
        }
        const QString what = step.section(QLatin1Char('@'), 0, 0);
        const qint64 now = step.section(QLatin1Char('@'), 1).toLongLong();
        if (what == QLatin1String("end") || what == QLatin1String("fail")) {
            for (const ProgressPace::Update &update : pace.end(what == QLatin1String("end"), now))
                note(now, update);
        } else if (const std::optional<ProgressPace::Update> update = pace.reading(what.toDouble(), now)) {
            note(now, *update);
        }
    }
    QCOMPARE(out.join(QLatin1Char(' ')), told);
}

void TestProgram::cleanProgress_data()
{
    // Steps as the file work takes them: "plan:" the six targets' counts,
    // "start:N" and "done:N" a target, "entries:K" K entries met, "read" the
    // window's thread looks.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("read");

    QTest::newRow("nothing planned yet") << "read" << "0";
    QTest::newRow("one target") << "plan:0,0,0,200,0,0 read start:4 entries:50 read entries:150 read done:4 read"
                                << "0 0.25 1 1";
    QTest::newRow("shared by the targets' counts")
        << "plan:30,0,0,70,0,0 start:1 entries:15 read entries:15 done:1 read start:4 entries:35 read"
        << "0.15 0.3 0.65";
    // Files that came meanwhile do not eat into the next target's share.
    QTest::newRow("more than counted") << "plan:10,0,10,0,0,0 start:1 entries:15 read done:1 start:3 entries:5 read"
                                       << "0.5 0.75";
    // Files that went meanwhile are made up for at the target's end.
    QTest::newRow("fewer than counted") << "plan:10,0,10,0,0,0 start:1 entries:4 read done:1 read start:3 read"
                                        << "0.2 0.5 0.5";
    QTest::newRow("nothing to do") << "plan:0,0,0,0,0,0 start:4 done:4 read" << "0";
}

void TestProgram::cleanProgress()
{
    QFETCH(QString, steps);
    QFETCH(QString, read);

    CleanProgress progress;
    QStringList out;
    const auto target = [](const QString &number) -> const CleaningTarget & {
        return cleaningTargets().at(number.toULongLong() - 1);
    };
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        const QString what = step.section(QLatin1Char(':'), 0, 0);
        const QString value = step.section(QLatin1Char(':'), 1);
        if (what == QLatin1String("plan")) {
            std::array<std::uint64_t, 6> work{};
            const QStringList counts = value.split(QLatin1Char(','));
            for (qsizetype i = 0; i < counts.size(); ++i)
                work.at(std::size_t(i)) = counts[i].toULongLong();
            progress.plan(work);
        } else if (what == QLatin1String("start")) {
            progress.targetStarted(target(value));
        } else if (what == QLatin1String("done")) {
            progress.targetDone(target(value));
        } else if (what == QLatin1String("entries")) {
            for (int i = 0; i < value.toInt(); ++i)
                progress.entry({}, true);
        } else {
            out << QString::number(progress.fraction());
        }
    }
    QCOMPARE(out.join(QLatin1Char(' ')), read);
}

void TestProgram::cleanShowsProgress_data()
{
    QTest::addColumn<bool>("locked"); // a read-only file stops the run with 75

    QTest::newRow("TEMP emptied") << false;
    QTest::newRow("stopped at a read-only file") << true;
}

void TestProgram::cleanShowsProgress()
{
    QFETCH(bool, locked);

    TestDrive drive(TestDrive::Layout::Windows98);
    drive.fill(4, TestDrive::Fill::Junk);
    if (locked)
        drive.file(drive.targetFolder(4) + "/LOCKED.TMP", "keep", 0444);
    ProgramSession session(drive);
    QVERIFY(session.start());
    QVERIFY(session.progress().empty());

    session.clickBox(4);
    session.clickClean();
    QCOMPARE(session.failureNumbers(), locked ? QList<int>{75} : QList<int>{});
    // Shown from the start, hidden at the end whatever the end was, and
    // never back in between.
    const std::vector<ProgramSession::Progress> &told = session.progress();
    QVERIFY(told.size() >= 2);
    QCOMPARE(told.front().progress, 0.0);
    for (std::size_t i = 0; i < told.size(); ++i) {
        QCOMPARE(told[i].visible, i + 1 < told.size());
        QVERIFY(told[i].progress <= 1);
        if (i > 0)
            QVERIFY(told[i].progress >= told[i - 1].progress);
    }
    if (!locked)
        QCOMPARE(told.back().progress, 1.0);
}
