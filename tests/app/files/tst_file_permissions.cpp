// What the host refuses an unprivileged user, and what a process sees whose
// /proc is not its own. The tests run as root, so each case runs the service
// in a helper, under setpriv as nobody or under unshare with another /proc.
#include "support/TestDrive.h"

#include <QProcess>
#include <QTest>

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::string)

class TestFilePermissions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void asNobody_data();
    void asNobody();
    void withAnotherProc_data();
    void withAnotherProc();
    void filesInUse_data();
    void filesInUse();

private:
    static QString runAsNobody(const TestDrive &drive, const QString &operation, const QString &argument);
    static QString probeOutput(QProcess &probe);
};

namespace {

constexpr uid_t nobody = 65534;

QStringList setprivArguments()
{
    return {"--reuid=65534", "--regid=65534", "--clear-groups"};
}

// What the /proc tests mount before starting the probe.
constexpr char ownProc[] = "mount -t proc proc /proc";
constexpr char emptyProc[] = "mount -t tmpfs none /proc";
constexpr char hiddenDescriptors[] = "mount -t tmpfs none /proc/$$/fd";

bool runs(const QString &program, const QStringList &arguments)
{
    QProcess trial;
    trial.start(program, arguments);
    return trial.waitForFinished(10000) && trial.exitStatus() == QProcess::NormalExit && trial.exitCode() == 0;
}

} // namespace

void TestFilePermissions::initTestCase()
{
    if (geteuid() != 0)
        QSKIP("needs root to take the identity of an unprivileged user, and to mount");
    if (!runs("setpriv", setprivArguments() << "true"))
        QSKIP("setpriv cannot change the user here (no setpriv, or no CAP_SETUID)");
}

QString TestFilePermissions::probeOutput(QProcess &probe)
{
    if (!probe.waitForFinished(10000))
        return "probe did not finish";
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed()
           + QString::fromUtf8(probe.readAllStandardError()).trimmed();
}

QString TestFilePermissions::runAsNobody(const TestDrive &drive, const QString &operation, const QString &argument)
{
    QProcess probe;
    probe.start("setpriv", setprivArguments() << QStringLiteral(FILE_SERVICES_PROBE)
                                              << QString::fromStdString(drive.root()) << "C:\\" << operation
                                              << argument);
    return probeOutput(probe);
}

void TestFilePermissions::asNobody_data()
{
    QTest::addColumn<std::string>("folder");    // one folder below the root
    QTest::addColumn<int>("folderMode");        // owned by root
    QTest::addColumn<std::string>("ownedFile"); // a root-owned file in it, mode 0644
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("output");

    QTest::newRow("write where allowed") << std::string("OPEN") << 0777 << std::string() << "write"
                                         << "C:\\OPEN\\cleaner.txt"
                                         << "ok";
    QTest::newRow("create in a closed folder") << std::string("CLOSED") << 0755 << std::string() << "write"
                                               << "C:\\CLOSED\\cleaner.txt"
                                               << "error 70";
    QTest::newRow("overwrite another user's file") << std::string("OPEN") << 0777 << std::string("cleaner.txt")
                                                   << "write"
                                                   << "C:\\OPEN\\cleaner.txt"
                                                   << "error 70";
    QTest::newRow("enter a private folder") << std::string("PRIVATE") << 0700 << std::string() << "cd"
                                            << "C:\\PRIVATE"
                                            << "error 70";
    // A folder that is there but cannot be read is not an empty one.
    QTest::newRow("first-match in a private folder") << std::string("PRIVATE") << 0700 << std::string("a.txt")
                                                     << "first"
                                                     << "C:\\PRIVATE\\*.*"
                                                     << "error 70";
    QTest::newRow("first-match by name in a private folder") << std::string("PRIVATE") << 0700
                                                             << std::string("a.txt") << "first"
                                                             << "C:\\PRIVATE\\a.txt"
                                                             << "error 70";
    QTest::newRow("delete in a closed folder") << std::string("CLOSED") << 0755 << std::string("a.txt")
                                               << "delete"
                                               << "C:\\CLOSED\\*.*"
                                               << "error 75";
}

void TestFilePermissions::asNobody()
{
    QFETCH(std::string, folder);
    QFETCH(int, folderMode);
    QFETCH(std::string, ownedFile);
    QFETCH(QString, operation);
    QFETCH(QString, argument);
    QFETCH(QString, output);

    TestDrive drive;
    QCOMPARE(chmod(drive.root().c_str(), 0755), 0);
    drive.folder(folder);
    QCOMPARE(chmod(drive.host(folder).c_str(), mode_t(folderMode)), 0);
    if (!ownedFile.empty())
        drive.file(folder + "/" + ownedFile, "root's");

    QCOMPARE(runAsNobody(drive, operation, argument), output);
    if (!ownedFile.empty())
        QCOMPARE(drive.read(folder + "/" + ownedFile), std::string("root's"));
    if (output == "ok" && operation == "write") {
        struct stat status;
        QCOMPARE(stat(drive.host(folder + "/cleaner.txt").c_str(), &status), 0);
        QCOMPARE(status.st_uid, nobody);
    }
    for (const std::string &name : drive.entries(folder))
        QVERIFY2(name.rfind(".~", 0) != 0, "a temporary file was left");
}

// Attributes through /proc/self/fd, as on kernels before 6.13, in a mount
// namespace with a /proc of its own, an empty one, or one that hides the
// probe's descriptors: where /proc does not show this process, no file
// counts as having no attributes.
void TestFilePermissions::withAnotherProc_data()
{
    QTest::addColumn<QString>("mount"); // run in the namespace before the probe
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("plainDeleted"); // of plain.txt, hidden.txt and ro.txt (DOS attributes)

    const QString own = ownProc, empty = emptyProc, hidden = hiddenDescriptors;
    QTest::newRow("delete, /proc of its own") << own << "delete" << "C:\\T\\*.*" << "error 75" << true;
    QTest::newRow("delete, empty /proc") << empty << "delete" << "C:\\T\\*.*" << "error 75" << false;
    QTest::newRow("delete, descriptors hidden") << hidden << "delete" << "C:\\T\\*.*" << "error 75" << false;
    QTest::newRow("first-match, descriptors hidden") << hidden << "first" << "C:\\T\\h*.*" << "error 75" << false;
}

void TestFilePermissions::withAnotherProc()
{
    QFETCH(QString, mount);
    QFETCH(QString, operation);
    QFETCH(QString, argument);
    QFETCH(QString, output);
    QFETCH(bool, plainDeleted);

#ifdef __SANITIZE_ADDRESS__
    if (mount == emptyProc)
        QSKIP("the sanitizers' runtime cannot do without /proc");
#endif
    // The shell's process becomes the probe, so $$ is the probe's number.
    const QStringList inNamespace{"--mount", "--fork", "sh", "-c", mount + " && exec \"$@\"", "sh"};
    if (!runs("unshare", inNamespace + QStringList{"true"}))
        QSKIP("cannot mount in a mount namespace of its own here (no unshare, or no CAP_SYS_ADMIN)");
    TestDrive drive;
    drive.folder("T");
    if (!drive.build("T", {"f:plain.txt", "H:hidden.txt", "R:ro.txt"}))
        QSKIP("the temporary folder's file system keeps no user extended attributes");
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("BRIGHTSWEEP_TEST_ATTRIBUTE_ROUTE", "proc");
    probe.setProcessEnvironment(environment);
    probe.start("unshare", inNamespace + QStringList{FILE_SERVICES_PROBE, QString::fromStdString(drive.root()),
                                                     "C:\\", operation, argument});
    QCOMPARE(probeOutput(probe), output);
    QCOMPARE(drive.exists("T/plain.txt"), !plainDeleted);
    QVERIFY(drive.exists("T/hidden.txt") && drive.exists("T/ro.txt"));
}

// Files that other programs hold open, have mapped, or open once the clean
// has begun stay; the rest goes. As root and as nobody (who has no
// CAP_LEASE), with nobody's own files (a lease can be had) and root's files
// in a folder open to all (it cannot: the process table decides), on ext4
// and tmpfs.
void TestFilePermissions::filesInUse_data()
{
    QTest::addColumn<QString>("base");       // the folder the drive is made in
    QTest::addColumn<long>("fileSystem");    // its statfs type
    QTest::addColumn<bool>("asNobody");      // the probe and the holders
    QTest::addColumn<bool>("filesOfNobody"); // else root's

    constexpr long ext4 = 0xEF53;
    constexpr long tmpfs = 0x01021994;
    const QString disk = QDir::tempPath();
    const QString memory = QStringLiteral("/dev/shm");
    QTest::newRow("root, ext4") << disk << ext4 << false << false;
    QTest::newRow("root, tmpfs") << memory << tmpfs << false << false;
    QTest::newRow("nobody, own files, ext4") << disk << ext4 << true << true;
    QTest::newRow("nobody, own files, tmpfs") << memory << tmpfs << true << true;
    QTest::newRow("nobody, root's files, ext4") << disk << ext4 << true << false;
    QTest::newRow("nobody, root's files, tmpfs") << memory << tmpfs << true << false;
}

void TestFilePermissions::filesInUse()
{
    QFETCH(QString, base);
    QFETCH(long, fileSystem);
    QFETCH(bool, asNobody);
    QFETCH(bool, filesOfNobody);

    struct statfs status;
    if (statfs(base.toLocal8Bit().constData(), &status) != 0 || long(status.f_type) != fileSystem)
        QSKIP("that file system is not at hand here");
    QTemporaryDir top(base + "/brightsweep-in-use-XXXXXX");
    QVERIFY(top.isValid());
    const std::string root = top.path().toStdString();
    const std::string temp = root + "/WINDOWS/TEMP";
    QVERIFY(QDir().mkpath(QString::fromStdString(temp)));
    for (const std::string &folder : {root, root + "/WINDOWS", temp})
        QCOMPARE(chmod(folder.c_str(), folder == temp ? 0777 : 0755), 0);
    const std::vector<std::string> names{"a.tmp", "b.tmp", "held.tmp", "mapped.tmp", "late.tmp", "c.tmp"};
    for (const std::string &name : names) {
        QFile file(QString::fromStdString(temp + "/" + name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("work in progress\n");
        file.close();
        if (filesOfNobody)
            QCOMPARE(chown(file.fileName().toLocal8Bit().constData(), nobody, nobody), 0);
    }
    auto asUser = [&](QStringList command) {
        return asNobody ? QStringList{"setpriv"} + setprivArguments() + command : command;
    };

    std::vector<std::unique_ptr<QProcess>> holders;
    for (const QString &how : {QStringLiteral("open"), QStringLiteral("map")}) {
        const QString path = QString::fromStdString(temp) + (how == "open" ? "/held.tmp" : "/mapped.tmp");
        const QStringList command = asUser({QStringLiteral(FILE_HOLDER), how, path});
        auto &holder = holders.emplace_back(std::make_unique<QProcess>());
        holder->start(command.first(), command.mid(1));
        QVERIFY(holder->waitForReadyRead(10000));
        QCOMPARE(holder->readLine().trimmed(), QByteArray("ready"));
    }
    auto probe = [&](const QString &operation, bool late) {
        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (late)
            environment.insert("BRIGHTSWEEP_TEST_HOLD_LATE",
                               QStringLiteral(FILE_HOLDER " ") + QString::fromStdString(temp) + "/late.tmp");
        run.setProcessEnvironment(environment);
        const QStringList command = asUser({QStringLiteral(FILE_SERVICES_PROBE), QString::fromStdString(root),
                                            "C:\\WINDOWS\\TEMP", operation, "*.tmp"});
        run.start(command.first(), command.mid(1));
        return probeOutput(run);
    };
    auto heldBy = [](const QProcess &holder) {
        return QStringLiteral("in use by file_holder (PID %1)").arg(holder.processId());
    };

    const QString preview = probe("survey", false);
    QVERIFY2(preview.contains("held.tmp kept: " + heldBy(*holders[0]) + "\n"), qPrintable(preview));
    QVERIFY2(preview.contains("mapped.tmp kept: " + heldBy(*holders[1]) + "\n"), qPrintable(preview));
    QCOMPARE(preview.count(QRegularExpression(" delete\n")), 4);

    const QString clean = probe("report", true);
    QVERIFY2(clean.endsWith("error 75"), qPrintable(clean));
    QVERIFY2(clean.contains(QRegularExpression("late.tmp kept: in use by file_holder \\(PID \\d+\\)\n")),
             qPrintable(clean));
    for (const std::string &name : names) {
        const bool held = name == "held.tmp" || name == "mapped.tmp" || name == "late.tmp";
        QVERIFY2(QFile::exists(QString::fromStdString(temp + "/" + name)) == held, name.c_str());
    }
    for (auto &holder : holders) {
        holder->closeWriteChannel();
        QVERIFY(holder->waitForFinished(10000));
        QCOMPARE(holder->exitCode(), 0);
    }
}

QTEST_GUILESS_MAIN(TestFilePermissions)
#include "tst_file_permissions.moc"
