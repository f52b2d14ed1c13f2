// One target at a time and all six in a row, on a throw-away drive, through
// the real file services.
#include "engine/CleanRun.h"
#include "engine/CleaningTargets.h"
#include "files/FileError.h"
#include "files/FileServices.h"
#include "support/TestDrive.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <array>
#include <cstdint>
#include <numeric>
#include <optional>
#include <sys/stat.h>

using Fill = TestDrive::Fill;

namespace {

const QStringList junk{QStringLiteral("NOEXT"), QStringLiteral("a.b.c"), QStringLiteral("autoexec.lnk"),
                       QStringLiteral("index.dat"), QStringLiteral("~DF1A2B.TMP")};

const CleaningTarget &target(int number)
{
    return cleaningTargets().at(static_cast<std::size_t>(number - 1));
}

// How many entries the run told of.
class EntryCounter final : public CleanObserver
{
public:
    std::uint64_t entries = 0;

    void entry(const EntryReport &, bool) override { ++entries; }
    void targetStarted(const CleaningTarget &) override {}
    void targetEntered(const CleaningTarget &) override {}
    void marker(const CleaningTarget &, bool) override {}
    void targetDone(const CleaningTarget &) override {}
    void targetFailed(const CleaningTarget &, const FileError &) override {}
};

std::array<int, 6> only(int number)
{
    std::array<int, 6> boxes{};
    boxes.at(static_cast<std::size_t>(number - 1)) = 1;
    return boxes;
}

std::optional<FileError> clean(FileServices &files, int number, CleanObserver *observer = nullptr,
                               FolderListing *listed = nullptr)
{
    try {
        cleanTarget(files, target(number), observer, listed);
    } catch (const FileError &error) {
        return error;
    }
    return std::nullopt;
}

QString describe(const std::optional<FileError> &error)
{
    return error ? QString::fromStdString(error->what()) : QStringLiteral("no failure");
}

} // namespace

class TestCleaningTargets : public QObject
{
    Q_OBJECT

private slots:
    void eachTargetAlone_data();
    void eachTargetAlone();
    void allSixInTableOrder();
    void twoRunsInARow();
    void missingFolder_data();
    void missingFolder();
    void failingStep_data();
    void failingStep();
};

void TestCleaningTargets::eachTargetAlone_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<Fill>("fill");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("marker");

    const QString inf = QStringLiteral("deleted.inf");
    const QString txt = QStringLiteral("deleted.txt");
    // The recent-documents list has no guard: its own first marker guarantees
    // the delete a match, so it ends with a marker even when it was empty.
    QTest::newRow("1 recent, junk") << 1 << Fill::Junk << TestDrive::survivors({inf}) << inf;
    QTest::newRow("1 recent, empty") << 1 << Fill::Empty << QStringList{inf} << inf;
    QTest::newRow("1 recent, nothing ordinary") << 1 << Fill::NoOrdinary << TestDrive::survivors({inf}) << inf;
    for (int number = 2; number <= 6; ++number) {
        const QByteArray name = QByteArray::number(number) + " " + TestDrive::windows98Folder(number).toLatin1();
        QTest::newRow(name + ", junk") << number << Fill::Junk << TestDrive::survivors({txt}) << txt;
        // For 6 this is the already-clean download folder: no failure, no marker.
        QTest::newRow(name + ", empty") << number << Fill::Empty << QStringList{} << QString();
        QTest::newRow(name + ", nothing ordinary") << number << Fill::NoOrdinary << TestDrive::survivors() << QString();
    }
}

void TestCleaningTargets::eachTargetAlone()
{
    QFETCH(int, number);
    QFETCH(Fill, fill);
    QFETCH(QStringList, expected);
    QFETCH(QString, marker);

    TestDrive drive(TestDrive::Layout::Windows98);
    for (int other = 1; other <= 6; ++other)
        drive.fill(other, other == number ? fill : Fill::Junk);
    const QString folder = TestDrive::windows98Folder(number);
    const TestDrive::Snapshot before = drive.snapshot();

    FileServices files(drive.root());
    // The count beforehand is what the run's progress is measured against:
    // of this target alone, and as many entries as its delete then tells
    // of (a guard that finds nothing ordinary lets no delete run). The
    // delete starts from the listing the count was made from.
    CleanPlan plan = planCleanRun(files, only(number));
    const std::array<std::uint64_t, 6> counted = plan.work();
    EntryCounter heard;
    const std::optional<FileError> error =
        clean(files, number, &heard, &plan.listings.at(std::size_t(number - 1)));
    QVERIFY2(!error, qPrintable(describe(error)));
    const std::uint64_t total = std::accumulate(counted.begin(), counted.end(), std::uint64_t{0});
    QCOMPARE(counted[std::size_t(number - 1)], total);
    QCOMPARE(heard.entries, marker.isEmpty() ? std::uint64_t{0} : total);

    QCOMPARE(drive.entries(folder), expected);
    if (!marker.isEmpty())
        QCOMPARE(drive.read(folder + QLatin1Char('/') + marker), TestDrive::markerLine());
    QCOMPARE(TestDrive::differences(before, drive.snapshot(), {folder}), QStringList());
    QCOMPARE(QString::fromStdString(files.currentDirectory()), TestDrive::windows98DosFolder(number));
}

void TestCleaningTargets::allSixInTableOrder()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    drive.fillAll(Fill::Junk);
    const TestDrive::Snapshot before = drive.snapshot();

    FileServices files(drive.root());
    QStringList cleaned;
    int expectedNumber = 1;
    for (const CleaningTarget &row : cleaningTargets()) {
        QCOMPARE(row.number, expectedNumber++);
        const std::optional<FileError> error = clean(files, row.number);
        QVERIFY2(!error, qPrintable(describe(error)));
        cleaned << TestDrive::windows98Folder(row.number);
    }

    for (int number = 1; number <= 6; ++number) {
        const QString marker = number == 1 ? QStringLiteral("deleted.inf") : QStringLiteral("deleted.txt");
        QCOMPARE(drive.entries(cleaned.at(number - 1)), TestDrive::survivors({marker}));
        QCOMPARE(drive.read(cleaned.at(number - 1) + QLatin1Char('/') + marker), TestDrive::markerLine());
    }
    QCOMPARE(TestDrive::differences(before, drive.snapshot(), cleaned), QStringList());
    QCOMPARE(QString::fromStdString(files.currentDirectory()),
             QStringLiteral("C:\\WINDOWS\\Downloaded Program Files"));
}

void TestCleaningTargets::twoRunsInARow()
{
    TestDrive drive(TestDrive::Layout::Windows98);
    drive.fillAll(Fill::Junk);
    FileServices files(drive.root());
    const auto runAll = [&] {
        for (int number = 1; number <= 6; ++number) {
            const std::optional<FileError> error = clean(files, number);
            QVERIFY2(!error, qPrintable(describe(error)));
        }
    };

    runAll();
    if (QTest::currentTestFailed())
        return;
    QStringList markers;
    for (int number = 1; number <= 6; ++number) {
        markers << TestDrive::windows98Folder(number)
                + (number == 1 ? QStringLiteral("/deleted.inf") : QStringLiteral("/deleted.txt"));
        // Age every marker so the second run has to prove it wrote them anew.
        struct timespec old[2] = {{946684800, 0}, {946684800, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(drive.hostPath(markers.last())).constData(), old, 0), 0);
    }
    const TestDrive::Snapshot afterFirst = drive.snapshot();

    runAll();
    QCOMPARE(drive.snapshot(), afterFirst);
    for (const QString &marker : markers) {
        QCOMPARE(drive.read(marker), TestDrive::markerLine());
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(drive.hostPath(marker)).constData(), &info), 0);
        QVERIFY2(info.st_mtim.tv_sec > 946684800, qPrintable(marker + QStringLiteral(" was not rewritten")));
    }
}

void TestCleaningTargets::missingFolder_data()
{
    QTest::addColumn<int>("number");
    for (int number = 1; number <= 6; ++number)
        QTest::newRow(TestDrive::windows98Folder(number).toLatin1()) << number;
}

void TestCleaningTargets::missingFolder()
{
    QFETCH(int, number);
    TestDrive drive(TestDrive::Layout::Windows98);
    drive.fillAll(Fill::Junk);
    drive.removeTree(drive.targetFolder(number));
    const TestDrive::Snapshot before = drive.snapshot();

    FileServices files(drive.root());
    files.changeDirectory("C:\\WINDOWS");
    // Counted as nothing to do, leaving the failure to the run itself.
    const std::array<std::uint64_t, 6> counted = planCleanRun(files, {1, 1, 1, 1, 1, 1}).work();
    QCOMPARE(counted[std::size_t(number - 1)], std::uint64_t{0});
    QCOMPARE(QString::fromStdString(files.currentDirectory()), QStringLiteral("C:\\WINDOWS"));
    const std::optional<FileError> error = clean(files, number);

    QVERIFY(error);
    QCOMPARE(error->number(), int(FileError::PathNotFound));
    const QString lastName = TestDrive::windows98Folder(number).section(QLatin1Char('/'), -1);
    QVERIFY2(QString::fromStdString(error->dosPath()).contains(lastName, Qt::CaseInsensitive),
             error->what());
    QCOMPARE(QString::fromStdString(files.currentDirectory()), QStringLiteral("C:\\WINDOWS"));
    QCOMPARE(TestDrive::differences(before, drive.snapshot()), QStringList());
}

void TestCleaningTargets::failingStep_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<bool>("blockerIsFolder");
    QTest::addColumn<QStringList>("expected");

    const QString locked = QStringLiteral("LOCKED.TMP");
    // A read-only file is matched but never deleted: everything else goes,
    // the run stops with 75, and no marker claims the folder was emptied.
    for (int number = 1; number <= 6; ++number) {
        const QByteArray name = QByteArray::number(number) + " read-only file in "
            + TestDrive::windows98Folder(number).toLatin1();
        QTest::newRow(name) << number << locked << false << TestDrive::survivors({locked});
    }
    QTest::newRow("4 a read-only marker of an earlier run")
        << 4 << QStringLiteral("deleted.txt") << false << TestDrive::survivors({QStringLiteral("deleted.txt")});
    // A folder in the marker's place: the delete has run, the marker write fails.
    QTest::newRow("4 folder named like the marker")
        << 4 << QStringLiteral("deleted.txt") << true << TestDrive::survivors({QStringLiteral("deleted.txt")});
    // Target 1 writes its marker first: nothing is deleted.
    QTest::newRow("1 folder named like the marker")
        << 1 << QStringLiteral("deleted.inf") << true << TestDrive::survivors(junk + QStringList{QStringLiteral("deleted.inf")});
}

void TestCleaningTargets::failingStep()
{
    QFETCH(int, number);
    QFETCH(QString, blocker);
    QFETCH(bool, blockerIsFolder);
    QFETCH(QStringList, expected);

    TestDrive drive(TestDrive::Layout::Windows98);
    drive.fillAll(Fill::Junk);
    const QString folder = TestDrive::windows98Folder(number);
    const QString blockerPath = folder + QLatin1Char('/') + blocker;
    if (blockerIsFolder) {
        QVERIFY(QDir(QString::fromStdString(drive.root())).mkpath(blockerPath));
    } else {
        drive.write(blockerPath, "keep me\r\n");
        QVERIFY(QFile::setPermissions(drive.hostPath(blockerPath),
                                      QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    const TestDrive::Snapshot before = drive.snapshot();

    FileServices files(drive.root());
    const std::optional<FileError> error = clean(files, number);

    QVERIFY(error);
    QCOMPARE(error->number(), int(FileError::PathFileAccessError));
    QVERIFY2(QString::fromStdString(error->dosPath()).contains(blocker, Qt::CaseInsensitive), error->what());
    QCOMPARE(drive.entries(folder), expected);
    QCOMPARE(drive.snapshot().value(blockerPath), before.value(blockerPath));
    QCOMPARE(TestDrive::differences(before, drive.snapshot(), {folder}), QStringList());
    QCOMPARE(QString::fromStdString(files.currentDirectory()), TestDrive::windows98DosFolder(number));
}

QTEST_GUILESS_MAIN(TestCleaningTargets)
#include "test_cleaning_targets.moc"
