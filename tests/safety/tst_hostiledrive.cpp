#include "engine/CleaningTargets.h"
#include "engine/CleanRun.h"
#include "support/DriveChecker.h"
#include "support/ProgramSession.h"
#include "support/TestAttributeRoute.h"
#include "support/TestDrive.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>

namespace {

const std::string optionsIni = "windows/options.ini";
const std::string cleanerTxt = "windows/cleaner.txt";

struct Scenario
{
    // What is added to the common traps.
    std::function<void(TestDrive &)> plant;
    // 0: the run completes; else the target it stops at, and the error.
    int stopTarget = 0;
    int error = 0;
    // What the stopping target looks like afterwards.
    TargetOutcome stopOutcome = TargetOutcome::Untouched;
};

RunExpectation expectationFor(const Scenario &scenario)
{
    RunExpectation expected;
    for (int number = 1; number <= 6; ++number) {
        TargetOutcome &outcome = expected.targets[static_cast<size_t>(number - 1)];
        if (scenario.stopTarget == 0 || number < scenario.stopTarget)
            outcome = TargetOutcome::EmptiedWithMarker;
        else if (number == scenario.stopTarget)
            outcome = scenario.stopOutcome;
        else
            outcome = TargetOutcome::Untouched;
    }
    expected.ownFiles[cleanerTxt] = startupLine();
    return expected;
}

std::vector<Scenario> &scenarios()
{
    static std::vector<Scenario> all;
    return all;
}

int addScenario(Scenario scenario)
{
    scenarios().push_back(std::move(scenario));
    return static_cast<int>(scenarios().size() - 1);
}

// The names the engine reports, per target: deleted by a clean, or to
// delete in a preview.
class DeletionLog final : public CleanObserver
{
public:
    std::map<int, std::set<std::string>> deleted;
    std::set<int> reached;

    void entry(const EntryReport &report, bool gone) override
    {
        if (report.verdict == Verdict::Delete && (gone || !m_cleaning))
            deleted[m_target].emplace(report.name);
        reached.insert(m_target);
    }
    void targetStarted(const CleaningTarget &target) override { m_target = target.number; }
    void targetEntered(const CleaningTarget &) override {}
    void marker(const CleaningTarget &, bool) override {}
    void targetDone(const CleaningTarget &target) override { reached.insert(target.number); }
    void targetFailed(const CleaningTarget &, const FileError &) override {}

    explicit DeletionLog(bool cleaning) : m_cleaning(cleaning) {}

private:
    bool m_cleaning;
    int m_target = 0;
};

} // namespace

// Drives full of traps, cleaned through the real windows with every box
// ticked, then the advanced mode switched both ways: each run completes or
// stops with its documented error, and nothing but the deletable files of
// the targets and the program's own three files ever changes.
class TestHostileDrive : public QObject
{
    Q_OBJECT

private:
    int m_trapsTried = 0;

private slots:
    void cleanAndSwitchOptions_data()
    {
        using T = TargetOutcome;
        QTest::addColumn<int>("scenario");

        QTest::newRow("common traps only") << addScenario({[](TestDrive &) {}});
        QTest::newRow("TEMP is a link to an outside folder")
            << addScenario({[&](TestDrive &d) {
                                // What the link points at is full of files that match.
                                d.removeTree(d.targetFolder(4));
                                d.link(d.targetFolder(4), d.host("../outside/victimdir"));
                            },
                            4, 76, T::Untouched});
        QTest::newRow("read-only file in COOKIES")
            << addScenario({[&](TestDrive &d) { d.file(d.targetFolder(3) + "/locked.txt", "no write bit", 0444); },
                            3, 75, T::Emptied});
        QTest::newRow("DOS read-only file in RECYCLED")
            << addScenario({[&](TestDrive &d) {
                                d.file(d.targetFolder(5) + "/dos-readonly.txt", "DOS read-only");
                                QVERIFY(d.setDosAttributes(d.targetFolder(5) + "/dos-readonly.txt", "0x1"));
                            },
                            5, 75, T::Emptied});
        QTest::newRow("deleted.inf is a link to an outside file")
            << addScenario({[&](TestDrive &d) { d.link(d.targetFolder(1) + "/deleted.inf", d.host("../outside/victim.txt")); }});
        QTest::newRow("deleted.inf is a folder")
            << addScenario({[&](TestDrive &d) { d.folder(d.targetFolder(1) + "/deleted.inf"); }, 1, 75, T::Untouched});
        QTest::newRow("deleted.inf is read-only")
            << addScenario({[&](TestDrive &d) { d.file(d.targetFolder(1) + "/deleted.inf", "old marker", 0444); },
                            1, 75, T::Untouched});
        QTest::newRow("deleted.txt is a link to an outside file")
            << addScenario({[&](TestDrive &d) { d.link(d.targetFolder(4) + "/deleted.txt", d.host("../outside/victim.txt")); }});
        QTest::newRow("deleted.txt is a folder")
            << addScenario({[&](TestDrive &d) { d.folder(d.targetFolder(6) + "/deleted.txt"); }, 6, 75, T::Emptied});
        QTest::newRow("deleted.txt is read-only")
            << addScenario({[&](TestDrive &d) { d.file(d.targetFolder(2) + "/deleted.txt", "old marker", 0444); },
                            2, 75, T::Emptied});
        QTest::newRow("options.ini and cleaner.txt are links to outside files")
            << addScenario({[](TestDrive &d) {
                   d.link(optionsIni, d.host("../outside/options.ini"));
                   d.link(cleanerTxt, d.host("../outside/cleaner.txt"));
               }});
        QTest::newRow("RECYCLED is missing")
            << addScenario({[&](TestDrive &d) { d.removeTree(d.targetFolder(5)); }, 5, 76, T::Untouched});
    }

    void cleanAndSwitchOptions()
    {
        QFETCH(int, scenario);
        const Scenario &row = scenarios().at(static_cast<size_t>(scenario));
        TestDrive drive(TestDrive::Layout::Hostile);
        drive.plantCommonTraps();
        row.plant(drive);
        m_trapsTried += drive.entryCount();

        const DriveBefore before = captureBefore(drive);
        ProgramSession session(drive);
        QVERIFY(session.start());
        QVERIFY(session.failures().empty());

        session.tickAll();
        session.clickClean();
        RunExpectation expected = expectationFor(row);
        if (row.stopTarget == 0) {
            QVERIFY(session.failures().empty());
            QCOMPARE(session.tickedCount(), 0);
            QVERIFY(!session.command(1)->isEnabled());
        } else {
            QCOMPARE(session.failures().size(), size_t(1));
            QCOMPARE(session.failures().front().number(), row.error);
            // The run stopped: what was still to do is still ticked.
            QCOMPARE(session.tickedCount(), 6);
            QVERIFY(session.command(1)->isEnabled());
        }
        QVERIFY(runAsExpected(drive, before, expected));

        // The advanced mode both ways, starting from what the drive says.
        session.clearFailures();
        bool on = drive.exists(optionsIni);
        QCOMPARE(!session.frame2()->isHidden(), on);
        for (int turn = 0; turn < 2; ++turn) {
            on = !on;
            QVERIFY(session.switchAdvancedMode(on));
            QVERIFY(session.failures().empty());
            QCOMPARE(!session.frame2()->isHidden(), on);
            expected.ownFiles[optionsIni] = on ? std::optional<std::string>(flagLine()) : std::nullopt;
            QVERIFY(runAsExpected(drive, before, expected));
        }
    }

    // What a preview lists for deletion is what a clean of the same drive
    // then deletes, in every target the clean gets as far as deleting in.
    void previewMatchesClean_data() { cleanAndSwitchOptions_data(); }
    void previewMatchesClean()
    {
        QFETCH(int, scenario);
        const Scenario &row = scenarios().at(static_cast<size_t>(scenario));
        TestDrive drive(TestDrive::Layout::Hostile);
        drive.plantCommonTraps();
        row.plant(drive);
        SystemCalls calls(attributeRouteUnderTest());
        FileServices files(drive.root(), &calls);
        const std::array<int, 6> all{1, 1, 1, 1, 1, 1};

        DeletionLog preview(false);
        previewRun(files, all, preview);
        DeletionLog clean(true);
        try {
            cleanRun(files, all, &clean);
            QCOMPARE(row.stopTarget, 0);
        } catch (const FileError &failure) {
            QCOMPARE(failure.number(), row.error);
        }

        for (int number : clean.reached) {
            QCOMPARE(clean.deleted[number], preview.deleted[number]);
            for (const std::string &name : preview.deleted[number])
                QVERIFY2(!drive.exists(drive.targetFolder(number) + "/" + name) || name == "deleted.txt",
                         name.c_str());
        }
        // Every target before the one that stopped the run was compared.
        QVERIFY(int(clean.reached.size()) >= (row.stopTarget == 0 ? 6 : row.stopTarget - 1));
    }

    // A target with 100,000 files: all go, in reasonable time, and nothing
    // next to them.
    void hundredThousandFiles()
    {
        TestDrive drive(TestDrive::Layout::Hostile);
        drive.plantCommonTraps();
        // Taken before the 100,000 go in: any of them still there afterwards
        // shows up as an entry that was not there before.
        // Hard links to four outside files: creating 100,000 inodes costs
        // minutes on a busy disk, a name costs little, and to the cleaner
        // each is an ordinary file all the same. The outside files must
        // survive the names being deleted.
        for (int source = 0; source < 4; ++source)
            drive.file("../outside/many-" + std::to_string(source), "one of many names");
        const DriveBefore withSources = captureBefore(drive);
        const std::string temp = drive.host(drive.targetFolder(4));
        for (int i = 0; i < 100000; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/~DF%06d.TMP", i);
            const std::string source = drive.host("../outside/many-" + std::to_string(i % 4));
            QVERIFY(link(source.c_str(), (temp + name).c_str()) == 0);
        }
        m_trapsTried += drive.entryCount() + 100000;

        ProgramSession session(drive);
        QVERIFY(session.start());
        session.box(4)->setChecked(true);
        QElapsedTimer timer;
        timer.start();
        session.clickClean();
        qInfo("100,000 files: clean run took %lld ms", static_cast<long long>(timer.elapsed()));
        QVERIFY(session.failures().empty());

        RunExpectation expected;
        expected.targets[3] = TargetOutcome::EmptiedWithMarker;
        expected.ownFiles[cleanerTxt] = startupLine();
        QVERIFY(runAsExpected(drive, withSources, expected));
    }

    // Folders this user may not read or write. Root may do anything, so the
    // run goes through the driver as "nobody".
    void unprivilegedUser_data()
    {
        QTest::addColumn<int>("target");
        QTest::addColumn<unsigned>("mode");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("stoppedOutcome");
        // A folder that cannot be entered cannot become current.
        QTest::newRow("COOKIES neither readable nor writable") << 3 << 0000u << "stopped 3 70" << 0;
        QTest::newRow("RECENT neither readable nor writable") << 1 << 0000u << "stopped 1 70" << 0;
        // Every match stays; the delete says which.
        QTest::newRow("TEMP not writable") << 4 << 0555u << "stopped 4 75" << 0;
        // A guarded folder that cannot be listed is not an empty one.
        QTest::newRow("Downloaded Program Files not readable") << 6 << 0333u << "stopped 6 70" << 0;
        QTest::newRow("COOKIES enterable, not readable") << 3 << 0111u << "stopped 3 70" << 0;
    }

    void unprivilegedUser()
    {
        QFETCH(int, target);
        QFETCH(unsigned, mode);
        QFETCH(QString, result);
        QFETCH(int, stoppedOutcome);
        if (geteuid() != 0)
            QSKIP("switching to an unprivileged user needs root");
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");

        TestDrive drive(TestDrive::Layout::Hostile);
        drive.plantCommonTraps();
        drive.chownAll(65534, 65534);
        QCOMPARE(chmod(drive.host(drive.targetFolder(target)).c_str(), mode), 0);
        m_trapsTried += drive.entryCount();
        const DriveBefore before = captureBefore(drive);

        // A copy the unprivileged user can surely reach.
        QTemporaryDir bin;
        QVERIFY(bin.isValid());
        const QString driver = bin.filePath(QStringLiteral("safety_driver"));
        QVERIFY(QFile::copy(QStringLiteral(SAFETY_DRIVER), driver));
        QCOMPARE(chmod(bin.path().toLocal8Bit().constData(), 0755), 0);

        QProcess run;
        run.start(setpriv, {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                            QStringLiteral("--clear-groups"), driver,
                            QString::fromStdString(drive.root()), QStringLiteral("clean")});
        QVERIFY(run.waitForFinished(60000));
        const QString said = QString::fromLocal8Bit(run.readAllStandardOutput()).trimmed();
        qInfo("%s: %s %s", QTest::currentDataTag(), qPrintable(said),
              qPrintable(QString::fromLocal8Bit(run.readAllStandardError()).trimmed()));
        QCOMPARE(run.exitCode(), 0);
        QCOMPARE(said, result);

        RunExpectation expected;
        const int stop = result == QStringLiteral("completed") ? 7 : target;
        for (int number = 1; number <= 6; ++number) {
            TargetOutcome outcome = TargetOutcome::EmptiedWithMarker;
            if (number == target)
                outcome = TargetOutcome(stoppedOutcome);
            else if (number > stop)
                outcome = TargetOutcome::Untouched;
            expected.targets[static_cast<size_t>(number - 1)] = outcome;
        }
        QVERIFY(runAsExpected(drive, before, expected));
    }

    void cleanupTestCase()
    {
        qInfo("hostile drives: %d traps planted in all", m_trapsTried);
    }
};

QTEST_MAIN(TestHostileDrive)
#include "tst_hostiledrive.moc"
