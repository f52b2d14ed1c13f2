#include "support/DriveChecker.h"
#include "support/TestDrive.h"

#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>

// The checker is what every safety test trusts, so it has to see each kind
// of damage a faulty cleaner could do, and accept a run done right.
class TestDriveChecker : public QObject
{
    Q_OBJECT

private:
    // What a correct run over target 3 alone does, done by hand.
    static void cleanCookiesByHand(TestDrive &drive, const DriveBefore &before)
    {
        for (const auto &[path, isDeletable] : before.deletable) {
            if (isDeletable && path.rfind(drive.targetFolder(3) + "/", 0) == 0)
                drive.remove(path);
        }
        drive.file(drive.targetFolder(3) + "/deleted.txt", markerLine());
    }

    static RunExpectation cookiesCleaned()
    {
        RunExpectation expected;
        expected.targets[2] = TargetOutcome::EmptiedWithMarker;
        return expected;
    }

private slots:
    void acceptsACorrectRun()
    {
        TestDrive drive(TestDrive::Layout::Hostile);
        drive.plantCommonTraps();
        const DriveBefore before = captureBefore(drive);
        cleanCookiesByHand(drive, before);
        QVERIFY(runAsExpected(drive, before, cookiesCleaned()));
    }

    void seesDamage_data()
    {
        QTest::addColumn<int>("damage");
        QTest::newRow("outside file rewritten") << 0;
        QTest::newRow("outside file mode") << 1;
        QTest::newRow("link retargeted") << 2;
        QTest::newRow("xattr dropped") << 3;
        QTest::newRow("hidden file deleted") << 4;
        QTest::newRow("subfolder file deleted") << 5;
        QTest::newRow("temporary file left") << 6;
        QTest::newRow("torn marker") << 7;
        QTest::newRow("ordinary file kept") << 8;
        QTest::newRow("other target touched") << 9;
        QTest::newRow("outside file replaced by a copy") << 10;
        QTest::newRow("FIFO removed") << 11;
    }

    void seesDamage()
    {
        QFETCH(int, damage);
        TestDrive drive(TestDrive::Layout::Hostile);
        drive.plantCommonTraps();
        const DriveBefore before = captureBefore(drive);
        cleanCookiesByHand(drive, before);
        const std::string cookies = drive.targetFolder(3);

        switch (damage) {
        case 0:
            drive.file("../outside/victim.txt", "overwritten through a link\n");
            break;
        case 1:
            QCOMPARE(chmod(drive.host("../outside/victim.txt").c_str(), 0600), 0);
            break;
        case 2:
            drive.remove(drive.targetFolder(4) + "/link-to-outside-folder");
            drive.link(drive.targetFolder(4) + "/link-to-outside-folder", "/");
            break;
        case 3:
            QCOMPARE(lremovexattr(drive.host(cookies + "/hidden-attr.txt").c_str(), "user.DOS_ATTRIB"), 0);
            break;
        case 4:
            drive.remove(cookies + "/.hidden");
            break;
        case 5:
            drive.remove(cookies + "/sub/inner.txt");
            break;
        case 6:
            drive.file(cookies + "/.deleted.txt.tmp", "partial");
            break;
        case 7:
            drive.file(cookies + "/deleted.txt", markerLine().substr(0, 44));
            break;
        case 8:
            drive.file(cookies + "/junk.tmp", "junk 3");
            break;
        case 9:
            drive.remove(drive.targetFolder(4) + "/junk.tmp");
            break;
        case 10:
            drive.remove("../outside/victim.txt");
            drive.file("../outside/victim.txt", "outside file, must survive\n");
            break;
        case 11:
            drive.remove(cookies + "/pipe.tmp");
            break;
        default:
            QFAIL("no such damage");
        }
        QVERIFY(!checkRun(drive, before, cookiesCleaned()).empty());
    }
};

QTEST_GUILESS_MAIN(TestDriveChecker)
#include "tst_drivechecker.moc"
