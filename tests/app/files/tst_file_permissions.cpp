// What the host refuses an unprivileged user, what a process sees whose
// /proc is not its own, and files other processes hold. Each case runs the
// service in a helper: as the user running the tests, or, where root runs
// them, under setpriv as nobody or under unshare with another /proc. The
// cases that need root are skipped for anyone else, each by name.
#include "files/UseCheck.h"
#include "support/TestDrive.h"

#include <QProcess>
#include <QTest>

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <tuple>
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
    void refusals_data();
    void refusals();

private:
    static QString runAsNobody(const TestDrive &drive, const QString &operation, const QString &argument);
    static QString probeOutput(QProcess &probe);
    QString rootMissing(const char *why) const;

    bool m_setprivWorks = false;
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
    m_setprivWorks = geteuid() == 0 && runs("setpriv", setprivArguments() << "true");
}

// Why the row at hand cannot run here, or "" when this process may take
// nobody's identity. The row skips itself with it: a QSKIP in a helper would
// end only the helper and let the row run on.
QString TestFilePermissions::rootMissing(const char *why) const
{
    if (geteuid() != 0)
        return QStringLiteral("needs root to %1").arg(QLatin1String(why));
    if (!m_setprivWorks)
        return QStringLiteral("setpriv cannot change the user here (no setpriv, or no CAP_SETUID)");
    return QString();
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

    if (const QString missing = rootMissing("take the identity of an unprivileged user"); !missing.isEmpty())
        QSKIP(qPrintable(missing));
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
// probe's descriptors, the probe running as nobody. A file it can open is
// judged through its descriptor, which needs no /proc; one it may delete but
// not read (secret.txt, write-only) only by name, and where /proc does not
// show this process, it counts as having no attributes never.
void TestFilePermissions::withAnotherProc_data()
{
    QTest::addColumn<QString>("mount"); // run in the namespace before the probe
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("secretDeleted"); // beside plain.txt, hidden.txt and ro.txt (DOS attributes)

    const QString own = ownProc, empty = emptyProc, hidden = hiddenDescriptors;
    QTest::newRow("delete, /proc of its own") << own << "delete" << "C:\\T\\*.*" << "error 75" << true;
    QTest::newRow("delete, empty /proc") << empty << "delete" << "C:\\T\\*.*" << "error 75" << false;
    QTest::newRow("delete, descriptors hidden") << hidden << "delete" << "C:\\T\\*.*" << "error 75" << false;
    QTest::newRow("first-match, descriptors hidden") << hidden << "first" << "C:\\T\\s*.*" << "error 75" << false;
    QTest::newRow("first-match of a file it reads, empty /proc") << empty << "first" << "C:\\T\\?l*.*"
                                                                 << "ok plain.txt" << false;
}

void TestFilePermissions::withAnotherProc()
{
    QFETCH(QString, mount);
    QFETCH(QString, operation);
    QFETCH(QString, argument);
    QFETCH(QString, output);
    QFETCH(bool, secretDeleted);

    if (const QString missing = rootMissing("mount a /proc of its own and take nobody's identity"); !missing.isEmpty())
        QSKIP(qPrintable(missing));
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
    drive.file("T/secret.txt", "nobody may write this, not read it", 0200);
    drive.chownAll(nobody, nobody);
    QCOMPARE(chmod(drive.root().c_str(), 0755), 0);
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("BRIGHTSWEEP_TEST_ATTRIBUTE_ROUTE", "proc");
    probe.setProcessEnvironment(environment);
    probe.start("unshare", inNamespace + QStringList{"setpriv"} + setprivArguments()
                               + QStringList{FILE_SERVICES_PROBE, QString::fromStdString(drive.root()), "C:\\",
                                             operation, argument});
    QCOMPARE(probeOutput(probe), output);
    QCOMPARE(drive.exists("T/plain.txt"), operation != "delete");
    QCOMPARE(drive.exists("T/secret.txt"), !secretDeleted);
    QVERIFY(drive.exists("T/hidden.txt") && drive.exists("T/ro.txt"));
}

namespace {

// A drive whose WINDOWS\TEMP, open to all, holds the files names, one line
// each, made in base; false when base is not of that file system.
struct TempDrive
{
    std::unique_ptr<QTemporaryDir> top;
    std::string root;
    std::string temp;

    bool make(const QString &base, long fileSystem, const std::vector<std::string> &names, bool ofNobody)
    {
        struct statfs status;
        if (statfs(base.toLocal8Bit().constData(), &status) != 0 || long(status.f_type) != fileSystem)
            return false;
        top = std::make_unique<QTemporaryDir>(base + "/brightsweep-in-use-XXXXXX");
        root = top->path().toStdString();
        temp = root + "/WINDOWS/TEMP";
        if (!top->isValid() || !QDir().mkpath(QString::fromStdString(temp)))
            throw std::runtime_error("cannot make a drive in " + base.toStdString());
        for (const std::string &folder : {root, root + "/WINDOWS", temp})
            chmod(folder.c_str(), folder == temp ? 0777 : 0755);
        for (const std::string &name : names) {
            QFile file(QString::fromStdString(path(name)));
            if (!file.open(QIODevice::WriteOnly) || file.write("work in progress\n") <= 0)
                throw std::runtime_error("cannot write " + path(name));
            file.close();
            if (ofNobody && chown(file.fileName().toLocal8Bit().constData(), nobody, nobody) != 0)
                throw std::runtime_error("cannot give " + path(name) + " to nobody");
        }
        return true;
    }

    std::string path(const std::string &name) const { return temp + "/" + name; }
    bool exists(const std::string &name) const { return QFile::exists(QString::fromStdString(path(name))); }
};

// Starts a helper that holds files and says "ready" once it does. Its
// QProcess ends it, and waits for it, when it goes, failed test or not.
std::unique_ptr<QProcess> startHolder(const QStringList &command)
{
    auto holder = std::make_unique<QProcess>();
    holder->start(command.first(), command.mid(1));
    if (!holder->waitForReadyRead(10000) || holder->readLine().trimmed() != "ready")
        throw std::runtime_error("the holder did not start: " + command.join(' ').toStdString());
    return holder;
}

// What holder has said up to a line that holds line, or up to its end,
// waiting at most 10 s.
QString saidBy(QProcess &holder, const char *line)
{
    QString said;
    for (QElapsedTimer waited; !waited.isValid() || waited.elapsed() < 10000;) {
        if (!waited.isValid())
            waited.start();
        said += QString::fromUtf8(holder.readAllStandardOutput());
        if (said.contains(QLatin1String(line)) || holder.state() == QProcess::NotRunning)
            break;
        holder.waitForReadyRead(100);
    }
    return said;
}

constexpr long ext4 = 0xEF53;
constexpr long tmpfs = 0x01021994;

} // namespace

// Files that other programs hold open, have mapped, or open once the clean
// has begun stay; the rest goes. As the user running the tests, and, where
// that is root, as nobody (who has no CAP_LEASE), with nobody's own files
// (a lease can be had) and root's files in a folder open to all (it cannot:
// the process table decides), on ext4 and tmpfs.
void TestFilePermissions::filesInUse_data()
{
    QTest::addColumn<QString>("base");       // the folder the drive is made in
    QTest::addColumn<long>("fileSystem");    // its statfs type
    QTest::addColumn<bool>("asNobody");      // the probe and the holders
    QTest::addColumn<bool>("filesOfNobody"); // else the test user's

    const QString disk = QDir::tempPath();
    const QString memory = QStringLiteral("/dev/shm");
    QTest::newRow("this user, ext4") << disk << ext4 << false << false;
    QTest::newRow("this user, tmpfs") << memory << tmpfs << false << false;
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

    if (const QString missing = asNobody ? rootMissing("run the cleaner and the holders as nobody") : QString();
        !missing.isEmpty())
        QSKIP(qPrintable(missing));
    const std::vector<std::string> names{"a.tmp", "b.tmp", "held.tmp", "mapped.tmp", "late.tmp", "c.tmp"};
    TempDrive drive;
    if (!drive.make(base, fileSystem, names, filesOfNobody))
        QSKIP("that file system is not at hand here");
    auto asUser = [&](QStringList command) {
        return asNobody ? QStringList{"setpriv"} + setprivArguments() + command : command;
    };

    std::vector<std::unique_ptr<QProcess>> holders;
    for (const QString &how : {QStringLiteral("open"), QStringLiteral("map")}) {
        const std::string path = drive.path(how == "open" ? "held.tmp" : "mapped.tmp");
        holders.push_back(startHolder(asUser({QStringLiteral(FILE_HOLDER), how, QString::fromStdString(path)})));
    }
    auto probe = [&](const QString &operation, bool late) {
        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (late)
            environment.insert("BRIGHTSWEEP_TEST_HOLD_LATE",
                               QStringLiteral(FILE_HOLDER " ") + QString::fromStdString(drive.path("late.tmp")));
        run.setProcessEnvironment(environment);
        const QStringList command = asUser({QStringLiteral(FILE_SERVICES_PROBE), QString::fromStdString(drive.root),
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
        QVERIFY2(drive.exists(name) == held, name.c_str());
    }
    for (auto &holder : holders) {
        holder->closeWriteChannel();
        QVERIFY(holder->waitForFinished(10000));
        QCOMPARE(holder->exitCode(), 0);
    }
}

// A file refused by another process: another cleaner's moment, however long
// it takes, is no use, and the file counts as gone once that cleaner has
// deleted it; a cleaner that never lets go, and a program, hold it. Files a
// program holds cost no wait each, however many.
void TestFilePermissions::refusals_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<long>("fileSystem");
    QTest::addColumn<QString>("holder"); // "cleaner MILLISECONDS|forever unlink|keep", or "program"
    QTest::addColumn<int>("held");       // files it holds, beside two free ones
    QTest::addColumn<bool>("inUse");     // whether the clean ends saying they are
    QTest::addColumn<int>("outlive");    // ms the refusals last after the holder lets go

    const QString disk = QDir::tempPath();
    const QString memory = QStringLiteral("/dev/shm");
    for (const auto &[where, base, type] : {std::tuple{"ext4", disk, ext4}, std::tuple{"tmpfs", memory, tmpfs}}) {
        const auto row = [&, where = where, base = base, type = type](const char *tag) -> QTestData & {
            return QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(QLatin1String(tag), QLatin1String(where))))
                   << base << type;
        };
        // Longer than the wait for a file no one is seen holding: only
        // knowing it for another cleaner's keeps the run waiting.
        row("a cleaner's moment of 150 ms") << QStringLiteral("cleaner 150 unlink") << 1 << false << 0;
        // Every look at /proc after it let go finds no one, yet the file
        // was refused: still that cleaner's moment, not a use.
        row("a cleaner's moment, refused after it let go") << QStringLiteral("cleaner 150 keep") << 1 << false
                                                           << 2 * int(ProcessTable::renewAfterMilliseconds) + 20;
        row("a cleaner that does not let go") << QStringLiteral("cleaner forever keep") << 1 << true << 0;
        row("a program holding 300 files") << QStringLiteral("program") << 300 << true << 0;
    }
}

void TestFilePermissions::refusals()
{
    QFETCH(QString, base);
    QFETCH(long, fileSystem);
    QFETCH(QString, holder);
    QFETCH(int, held);
    QFETCH(bool, inUse);
    QFETCH(int, outlive);

    std::vector<std::string> names{"a.tmp", "b.tmp"};
    QStringList heldPaths;
    for (int i = 0; i < held; ++i) {
        names.push_back(QStringLiteral("held%1.tmp").arg(i, 3, 10, QLatin1Char('0')).toStdString());
        heldPaths << QString::fromStdString(names.back());
    }
    TempDrive drive;
    if (!drive.make(base, fileSystem, names, false))
        QSKIP("that file system is not at hand here");
    for (QString &path : heldPaths)
        path = QString::fromStdString(drive.path(path.toStdString()));
    const QStringList how = holder.split(' ');
    const bool cleaner = how.first() == "cleaner";
    const std::unique_ptr<QProcess> holding =
        startHolder(cleaner ? QStringList{FILE_SERVICES_PROBE, "--hold", heldPaths.first(), how[1], how[2]}
                            : QStringList{FILE_HOLDER, "open"} + heldPaths);

    QProcess run;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("BRIGHTSWEEP_TEST_REFUSALS_OUTLIVE_MS", QString::number(outlive));
    run.setProcessEnvironment(environment);
    run.start(FILE_SERVICES_PROBE, {QString::fromStdString(drive.root), "C:\\WINDOWS\\TEMP", "report", "*.tmp"});
    const QString clean = probeOutput(run);
    const QString heldBy = QStringLiteral(" kept: in use by %1 (PID %2)\n")
                               .arg(cleaner ? "file_services_p" : "file_holder")
                               .arg(holding->processId());
    if (cleaner) {
        // The holder's moment begins when the clean reaches its file; a
        // row in which that never happened tested nothing.
        const QString told = saidBy(*holding, "reached");
        QVERIFY2(told.contains("reached\n") && !told.contains("never"),
                 qPrintable("the clean never reached the file while the other cleaner held it, so the overlap this "
                            "row is about did not happen; the holder said: " + told + "; the clean: " + clean));
    }
    QVERIFY2(clean.endsWith(inUse ? "error 75" : "ok"), qPrintable(clean));
    QCOMPARE(clean.count(heldBy), inUse ? held : 0);
    QVERIFY2(!drive.exists("a.tmp") && !drive.exists("b.tmp"), qPrintable(clean));
    for (const QString &path : std::as_const(heldPaths))
        QCOMPARE(QFile::exists(path), inUse);
    QRegularExpressionMatch pauses = QRegularExpression("paused (\\d+) times\n").match(clean);
    QVERIFY2(pauses.hasMatch(), qPrintable(clean));
    // A cleaner is waited for; a program is found in one look, for the first
    // file only.
    const int paused = pauses.captured(1).toInt();
    qInfo("%d held, %s", held, qPrintable(pauses.captured(0).trimmed()));
    QVERIFY2(cleaner ? paused > 0 : paused < 20, qPrintable(clean));
    // One that does not let go is let go of; the others end well.
    if (how.last() == "keep")
        holding->kill();
    holding->closeWriteChannel();
    QVERIFY(holding->waitForFinished(10000));
    if (how.last() != "keep")
        QCOMPARE(holding->exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestFilePermissions)
#include "tst_file_permissions.moc"
