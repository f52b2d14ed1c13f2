// What the host refuses an unprivileged user, and what a process sees whose
// /proc is not its own. The tests run as root, so each case runs the service
// in a helper, under setpriv as nobody or under unshare with another /proc.
#include "support/TestDrive.h"

#include <QProcess>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

QTEST_GUILESS_MAIN(TestFilePermissions)
#include "tst_file_permissions.moc"
