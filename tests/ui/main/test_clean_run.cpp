// The selection rule and the clean run as the user meets them: check boxes
// and buttons of the main window, clicked, on a throw-away drive.
#include "support/ProgramSession.h"
#include "support/TestDrive.h"
#include "ui/main/FrmCleaner.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <QToolBar>

using Fill = TestDrive::Fill;

namespace {

void clickCommand(ProgramSession &session, int number)
{
    QTest::mouseClick(session.command(number), Qt::LeftButton);
}

// The numbers of the boxes holding 1, e.g. "145".
QString tickedBoxes(ProgramSession &session)
{
    QString result;
    for (int number = 1; number <= 6; ++number) {
        if (session.value(number) == 1)
            result += QString::number(number);
    }
    return result;
}

QString currentDirectory(ProgramSession &session)
{
    return QString::fromStdString(session.files().currentDirectory());
}

} // namespace

class TestCleanRun : public QObject
{
    Q_OBJECT

private slots:
    void selectionRule_data();
    void selectionRule();
    void cleanTicked_data();
    void cleanTicked();
    void greyedBoxIsSkippedAndReset();
    void missingFolderStopsTheRun_data();
    void missingFolderStopsTheRun();
    void readOnlyFileInTempStopsTheRun();
    void toolbarCleanWithNothingTicked();
};

void TestCleanRun::selectionRule_data()
{
    // Steps: "N" clicks box N, "all" Select All, "none" Deselect All.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("ticked");

    QTest::newRow("nothing") << QStringList{} << QString();
    QTest::newRow("tick one") << QStringList{QStringLiteral("4")} << QStringLiteral("4");
    QTest::newRow("tick and untick") << QStringList{QStringLiteral("1"), QStringLiteral("1")} << QString();
    QTest::newRow("6 stays while 3 comes and goes")
        << QStringList{QStringLiteral("6"), QStringLiteral("3"), QStringLiteral("3")} << QStringLiteral("6");
    QTest::newRow("untick the last of two")
        << QStringList{QStringLiteral("2"), QStringLiteral("5"), QStringLiteral("2"), QStringLiteral("5")} << QString();
    QTest::newRow("select all") << QStringList{QStringLiteral("all")} << QStringLiteral("123456");
    QTest::newRow("select all twice") << QStringList{QStringLiteral("all"), QStringLiteral("all")} << QStringLiteral("123456");
    QTest::newRow("select all, untick first and last")
        << QStringList{QStringLiteral("all"), QStringLiteral("1"), QStringLiteral("6")} << QStringLiteral("2345");
    QTest::newRow("select all, deselect all") << QStringList{QStringLiteral("all"), QStringLiteral("none")} << QString();
    QTest::newRow("deselect all while disabled") << QStringList{QStringLiteral("none")} << QString();
    QTest::newRow("one ticked, deselect all, tick another")
        << QStringList{QStringLiteral("3"), QStringLiteral("none"), QStringLiteral("5")} << QStringLiteral("5");
    QTest::newRow("untick all six one by one")
        << QStringList{QStringLiteral("all"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                       QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("6")} << QString();
}

void TestCleanRun::selectionRule()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, ticked);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    QVERIFY(session.start());
    const auto checkInvariant = [&](const QString &after) {
        const bool any = !tickedBoxes(session).isEmpty();
        QVERIFY2(session.command(1)->isEnabled() == any, qPrintable(QStringLiteral("Clean after ") + after));
        QVERIFY2(session.command(3)->isEnabled() == any, qPrintable(QStringLiteral("Deselect All after ") + after));
        QVERIFY2(session.command(2)->isEnabled(), qPrintable(QStringLiteral("Select All after ") + after));
    };
    checkInvariant(QStringLiteral("start"));
    for (const QString &step : steps) {
        if (step == QLatin1String("all"))
            clickCommand(session, 2);
        else if (step == QLatin1String("none"))
            clickCommand(session, 3);
        else
            session.clickBox(step.toInt());
        checkInvariant(step);
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(tickedBoxes(session), ticked);
    QVERIFY(session.failures().empty());
}

void TestCleanRun::cleanTicked_data()
{
    QTest::addColumn<QList<int>>("ticked");
    QTest::addColumn<int>("last");

    for (int number = 1; number <= 6; ++number)
        QTest::newRow(qPrintable(QStringLiteral("only ") + TestDrive::windows98Folder(number))) << QList<int>{number} << number;
    QTest::newRow("2 and 5") << QList<int>{2, 5} << 5;
    QTest::newRow("1 and 4") << QList<int>{1, 4} << 4;
    QTest::newRow("select all") << QList<int>{1, 2, 3, 4, 5, 6} << 6;
}

void TestCleanRun::cleanTicked()
{
    QFETCH(QList<int>, ticked);
    QFETCH(int, last);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fillAll(Fill::Junk);
    QVERIFY(session.start());
    if (ticked.size() == 6) {
        clickCommand(session, 2);
    } else {
        for (int number : ticked)
            session.clickBox(number);
    }
    QVERIFY(session.command(1)->isEnabled());
    const TestDrive::Snapshot before = drive.snapshot();

    clickCommand(session, 1);

    QVERIFY(session.failures().empty());
    QStringList cleaned;
    for (int number : ticked) {
        const QString folder = TestDrive::windows98Folder(number);
        cleaned << folder;
        QCOMPARE(drive.entries(folder), TestDrive::survivors({TestDrive::markerName(number)}));
        QCOMPARE(drive.read(folder + QLatin1Char('/') + TestDrive::markerName(number)), TestDrive::markerLine());
    }
    QCOMPARE(TestDrive::differences(before, drive.snapshot(), cleaned), QStringList());
    QCOMPARE(currentDirectory(session), TestDrive::windows98DosFolder(last));
    QCOMPARE(tickedBoxes(session), QString());
    QVERIFY(!session.command(1)->isEnabled());
    QVERIFY(!session.command(3)->isEnabled());
}

void TestCleanRun::greyedBoxIsSkippedAndReset()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fillAll(Fill::Junk);
    QVERIFY(session.start());
    session.clickBox(2);
    QVERIFY(session.command(1)->isEnabled());
    // Nothing in the program greys a box; only code could, and a greyed box
    // counts as unticked.
    session.box(2)->setCheckState(Qt::PartiallyChecked);
    QVERIFY(!session.command(1)->isEnabled());
    QVERIFY(!session.command(3)->isEnabled());
    session.clickBox(4);
    const TestDrive::Snapshot before = drive.snapshot();

    clickCommand(session, 1);

    QVERIFY(session.failures().empty());
    QCOMPARE(session.box(2)->checkState(), Qt::Unchecked);
    QCOMPARE(tickedBoxes(session), QString());
    QCOMPARE(TestDrive::differences(before, drive.snapshot(), {TestDrive::windows98Folder(4)}), QStringList());
    QCOMPARE(currentDirectory(session), TestDrive::windows98DosFolder(4));

    // Once reset, the box is an ordinary two-state box again for the user.
    session.clickBox(2);
    QCOMPARE(session.box(2)->checkState(), Qt::Checked);
    QVERIFY(session.command(1)->isEnabled());
}

void TestCleanRun::missingFolderStopsTheRun_data()
{
    QTest::addColumn<int>("missing");
    for (int number : {1, 3, 6})
        QTest::newRow(TestDrive::windows98Folder(number).toLatin1()) << number;
}

void TestCleanRun::missingFolderStopsTheRun()
{
    QFETCH(int, missing);

    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fillAll(Fill::Junk);
    drive.removeTree(drive.targetFolder(missing));
    QVERIFY(session.start());
    clickCommand(session, 2);
    const TestDrive::Snapshot before = drive.snapshot();

    clickCommand(session, 1);

    QCOMPARE(session.failures().size(), std::size_t(1));
    QCOMPARE(session.failures().front().number(), int(FileError::PathNotFound));
    QStringList cleaned;
    for (int number = 1; number < missing; ++number) {
        cleaned << TestDrive::windows98Folder(number);
        QCOMPARE(drive.read(cleaned.last() + QLatin1Char('/') + TestDrive::markerName(number)), TestDrive::markerLine());
    }
    QCOMPARE(TestDrive::differences(before, drive.snapshot(), cleaned), QStringList());
    QCOMPARE(currentDirectory(session), missing == 1 ? QStringLiteral("C:\\WINDOWS") : TestDrive::windows98DosFolder(missing - 1));
    QCOMPARE(tickedBoxes(session), QStringLiteral("123456"));
    QVERIFY(session.command(1)->isEnabled());
    QVERIFY(session.command(3)->isEnabled());
}

void TestCleanRun::readOnlyFileInTempStopsTheRun()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fillAll(Fill::Junk);
    const QString temp = TestDrive::windows98Folder(4);
    const QString locked = temp + QStringLiteral("/LOCKED.TMP");
    drive.write(locked, "in use\r\n");
    QVERIFY(QFile::setPermissions(drive.hostPath(locked), QFile::ReadOwner | QFile::ReadGroup));
    QVERIFY(session.start());
    for (int number : {1, 4, 5})
        session.clickBox(number);
    const TestDrive::Snapshot before = drive.snapshot();

    clickCommand(session, 1);

    QCOMPARE(session.failures().size(), std::size_t(1));
    QCOMPARE(session.failures().front().number(), int(FileError::PathFileAccessError));
    QVERIFY2(QString::fromStdString(session.failures().front().dosPath()).contains(QStringLiteral("LOCKED.TMP"), Qt::CaseInsensitive),
             session.failures().front().what());
    QCOMPARE(drive.entries(temp), TestDrive::survivors({QStringLiteral("LOCKED.TMP")}));
    QCOMPARE(drive.read(locked), QByteArray("in use\r\n"));
    QCOMPARE(TestDrive::differences(before, drive.snapshot(), {TestDrive::windows98Folder(1), temp}),
             QStringList());
    QCOMPARE(tickedBoxes(session), QStringLiteral("145"));
    QVERIFY(session.command(1)->isEnabled());

    // The program goes on: without TEMP the same window finishes a run.
    QVERIFY(session.program().isLoaded<FrmCleaner>());
    QVERIFY(session.window().isVisible());
    session.clickBox(4);
    clickCommand(session, 1);
    QCOMPARE(session.failures().size(), std::size_t(1));
    QCOMPARE(drive.read(TestDrive::windows98Folder(5) + QStringLiteral("/deleted.txt")), TestDrive::markerLine());
    QCOMPARE(tickedBoxes(session), QString());
}

void TestCleanRun::toolbarCleanWithNothingTicked()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    ProgramSession session(drive);
    drive.fillAll(Fill::Junk);
    QVERIFY(session.start());
    QAction *clean = toolbarButton(session.window(), QStringLiteral("Clean"));
    QVERIFY(clean);
    QWidget *button = session.window().findChild<QToolBar *>(QStringLiteral("Toolbar1"))->widgetForAction(clean);
    QVERIFY(button && button->isEnabled());
    const QString directory = currentDirectory(session);
    const TestDrive::Snapshot before = drive.snapshot();

    QTest::mouseClick(button, Qt::LeftButton);

    QVERIFY(session.failures().empty());
    QCOMPARE(TestDrive::differences(before, drive.snapshot()), QStringList());
    QCOMPARE(currentDirectory(session), directory);
    QVERIFY(!session.command(1)->isEnabled());
}

QTEST_MAIN(TestCleanRun)
#include "test_clean_run.moc"
