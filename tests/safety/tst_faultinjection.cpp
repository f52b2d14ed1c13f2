#include "support/DriveChecker.h"
#include "support/FaultySystemCalls.h"
#include "support/ProgramSession.h"
#include "support/TestDrive.h"
#include "ui/options/FrmOptions.h"

#include <QGroupBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

const std::string optionsIni = "windows/options.ini";
const std::string cleanerTxt = "windows/cleaner.txt";

enum class Phase { Clean, OptionsOn, OptionsOff };

// Three files per target: two to delete and one the attributes protect, so
// every step of the run makes its calls, and few enough to fail each call in
// turn. The hostile drives try the other kinds of entry.
void plantSmallDrive(TestDrive &drive, Phase phase)
{
    for (int number = 1; number <= 6; ++number) {
        const std::string at = drive.targetFolder(number) + "/";
        drive.file(at + "a.tmp", "junk");
        drive.file(at + "B.TXT", "more junk");
        drive.file(at + "hidden.dat", "DOS hidden: never deleted");
        if (!drive.setDosAttributes(at + "hidden.dat", "0x2"))
            throw std::runtime_error("the drive keeps no DOS attributes");
    }
    drive.file("windows/win.ini", "[windows]\r\n");
    if (phase == Phase::OptionsOff)
        drive.file(optionsIni, flagLine());
}

int documentedNumber(int error)
{
    switch (error) {
    case EIO:
        return 57;
    case ENOSPC:
        return 61;
    case EACCES:
        return 70;
    case EROFS:
        return 75;
    case EINTR:
        // Only a close or a flush reports it: the data may not be on disk.
        return 57;
    default:
        return 0;
    }
}

// Calls that judge or delete one match: their failure leaves that match in
// place and is reported as "Path/File access error" for it. The match itself
// is opened to judge it through its descriptor (the drive's folders have no
// dot in their names, its files all have one); the folder's file system is
// asked about at its first match.
bool isPerMatchCall(const std::string &call, const std::string &name)
{
    return call == "unlinkat" || call == "fstatat" || call == "getxattrat" || call == "listxattrat"
           || call == "fgetxattr" || call == "flistxattr" || call == "setLease" || call == "fstatfs"
           || (call == "openat" && name != "." && name.find('.') != std::string::npos);
}

std::string upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return text;
}

// The cleaning target a failure's DOS path lies in, 0 for none.
int targetOf(const std::string &dosPath)
{
    const std::string path = upper(dosPath) + "\\";
    for (int number = 1; number <= 6; ++number) {
        if (path.rfind(upper(TestDrive::windows98DosFolder(number).toStdString()) + "\\", 0) == 0)
            return number;
    }
    return 0;
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += "\n    " + line;
    return text;
}

struct Tally
{
    long attempts = 0;
    long reported = 0;
};

// One attempt: the program on a fresh drive, the k-th call of the phase made
// to fail with error. Returns what is wrong, or "" when all is as it must be.
std::string attempt(Phase phase, long k, int error, std::vector<std::string> *trace, Tally &tally)
{
    TestDrive drive(TestDrive::Layout::Hostile);
    plantSmallDrive(drive, phase);
    const std::optional<std::string> oldFlag = drive.content(optionsIni);

    FaultySystemCalls calls;
    ProgramSession session(drive, &calls);
    if (!session.start() || !session.failures().empty())
        return "the program did not start";
    const DriveBefore before = captureBefore(drive);
    if (phase == Phase::Clean)
        session.tickAll();

    if (phase != Phase::Clean && !session.chooseAdvancedMode(phase == Phase::OptionsOn))
        return "the options dialog did not offer the switch";
    calls.arm(k, error);
    if (phase == Phase::Clean)
        session.clickClean();
    else
        session.confirmOptions();
    calls.disarm();
    if (trace)
        *trace = calls.trace();
    ++tally.attempts;

    const std::string where = "call " + std::to_string(k) + " (" + calls.failedCall() + " \"" + calls.failedName()
                              + "\") failing with " + std::strerror(error) + ": ";
    if (session.failures().size() > 1)
        return where + "more than one failure reported";
    const bool failed = !session.failures().empty();
    if (failed) {
        ++tally.reported;
        const FileError &failure = session.failures().front();
        if (!calls.struck())
            return where + "a failure with no fault: " + failure.what();
        if (failure.hostReason().find(std::strerror(error)) == std::string::npos)
            return where + "the host's reason is lost: " + failure.what();
        const bool perMatch = failure.number() == 75 && isPerMatchCall(calls.failedCall(), calls.failedName());
        if (failure.number() != documentedNumber(error) && !perMatch)
            return where + "wrong error number: " + failure.what();
    }

    RunExpectation expected;
    expected.ownFiles[cleanerTxt] = startupLine();
    if (phase == Phase::Clean) {
        if (failed) {
            if (session.tickedCount() != 6 || !session.command(1)->isEnabled())
                return where + "a stopped run changed the boxes or Clean";
            const int stop = targetOf(session.failures().front().dosPath());
            if (stop == 0)
                return where + "failure outside the targets: " + session.failures().front().what();
            for (int number = 1; number <= 6; ++number)
                expected.targets[static_cast<size_t>(number - 1)] = number < stop ? TargetOutcome::EmptiedWithMarker
                                                                   : number == stop ? TargetOutcome::Interrupted
                                                                                    : TargetOutcome::Untouched;
        } else {
            if (session.tickedCount() != 0 || session.command(1)->isEnabled())
                return where + "a completed run left boxes ticked or Clean enabled";
            // No fault passes unreported, first-match's included: every
            // target is emptied.
            expected.targets.fill(TargetOutcome::EmptiedWithMarker);
        }
    } else {
        const bool on = phase == Phase::OptionsOn;
        if (session.frame2()->isHidden() == on)
            return where + "Frame2 does not show the choice made before the file step";
        const std::optional<std::string> flag = drive.content(optionsIni);
        const std::optional<std::string> wanted = on ? std::optional<std::string>(flagLine()) : std::nullopt;
        if (!failed && flag != wanted)
            return where + "options.ini not switched although nothing was reported";
        if (flag != wanted && flag != oldFlag)
            return where + "options.ini torn: " + flag.value_or("(absent)");
        if (failed != session.program().isLoaded<FrmOptions>())
            return where + "the options dialog should stay open exactly when OK stopped";
        expected.ownFiles[optionsIni] = flag;
    }
    const std::vector<std::string> problems = checkRun(drive, before, expected);
    return problems.empty() ? std::string() : where + joined(problems);
}

volatile sig_atomic_t g_signalsCaught = 0;

void countSignal(int)
{
    g_signalsCaught = g_signalsCaught + 1;
}

// Whether thread is inside the system call number now, as
// /proc/self/task/TID/syscall tells of a thread that waits in one; waits for
// that at most limit.
bool waitsInCall(pid_t thread, long number, std::chrono::milliseconds limit)
{
    const std::string path = "/proc/self/task/" + std::to_string(thread) + "/syscall";
    for (const auto end = std::chrono::steady_clock::now() + limit;;) {
        if (FILE *file = std::fopen(path.c_str(), "r")) {
            long now = -1;
            const bool read = std::fscanf(file, "%ld", &now) == 1;
            std::fclose(file);
            if (read && now == number)
                return true;
        }
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Interrupts the calling thread with SIGUSR1 a few times while it waits in
// the call numbered number, then lets the call go on by doing release() on
// another thread, again until it says it did or the call has returned: a
// thread between a retry's signal and its next call, or one that has
// entered the call but not yet got as far as a FIFO's reader count, is
// not there to be released. Each signal is sent once the thread waits in
// that call, however slow the machine, for the first within 10 s; a call
// that a signal ended is not waited for again long. SA_RESTART is off, so
// the kernel hands EINTR back each time. inside says whether the first
// signal found the thread in the call.
template<typename Call, typename Release>
auto callWhileInterrupted(long number, bool &inside, Call call, Release release)
{
    struct sigaction action {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);
    g_signalsCaught = 0;
    const pthread_t waiting = pthread_self();
    const pid_t waitingId = gettid();
    std::atomic<bool> returned{false};
    std::thread helper([&] {
        inside = waitsInCall(waitingId, number, std::chrono::seconds(10));
        pthread_kill(waiting, SIGUSR1);
        for (int i = 0; i < 4; ++i) {
            waitsInCall(waitingId, number, std::chrono::milliseconds(200));
            pthread_kill(waiting, SIGUSR1);
        }
        waitsInCall(waitingId, number, std::chrono::milliseconds(200));
        while (!release() && !returned) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            waitsInCall(waitingId, number, std::chrono::milliseconds(200));
        }
    });
    const auto result = call();
    const int error = errno;
    returned = true;
    helper.join();
    sigaction(SIGUSR1, &previous, nullptr);
    errno = error;
    return result;
}

// A tmpfs of its own, limited in size and inodes, for real "disk full" and
// "read-only file system" answers. Needs the right to mount.
class SmallFileSystem
{
public:
    explicit SmallFileSystem(const char *options)
    {
        if (!m_point.isValid()) {
            m_error = "no temporary folder";
            return;
        }
        if (::mount("tmpfs", m_point.path().toLocal8Bit().constData(), "tmpfs", 0, options) != 0)
            m_error = std::string("mount -t tmpfs: ") + std::strerror(errno);
        else
            m_mounted = true;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_point.path().toLocal8Bit().constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool mounted() const { return m_mounted; }
    const std::string &error() const { return m_error; }
    QString path() const { return m_point.path(); }
    bool makeReadOnly()
    {
        return ::mount(nullptr, m_point.path().toLocal8Bit().constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr)
               == 0;
    }

private:
    QTemporaryDir m_point;
    bool m_mounted = false;
    std::string m_error;
};

// Fills the file system under folder: with empty files until no inode is
// left, or with one file until no block is.
void fillUp(const std::string &folder, bool inodes)
{
    if (inodes) {
        for (int i = 0;; ++i) {
            const int fd = ::open((folder + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0)
                return;
            ::close(fd);
        }
    }
    const int fd = ::open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    static const char block[4096] = {};
    while (fd >= 0 && ::write(fd, block, sizeof block) > 0) {
    }
    if (fd >= 0)
        ::close(fd);
}

} // namespace

// Every system call of a full clean run, and of each options OK, made to
// fail in turn with each errno a disk can give: the failure is reported with
// its documented number, the program goes on, the windows and files are what
// "stopped at that step" means, and no written file is ever torn.
class TestFaultInjection : public QObject
{
    Q_OBJECT

private slots:
    void everyCallFails_data()
    {
        QTest::addColumn<int>("phase");
        QTest::newRow("clean run, all six ticked") << int(Phase::Clean);
        QTest::newRow("options OK switching on") << int(Phase::OptionsOn);
        QTest::newRow("options OK switching off") << int(Phase::OptionsOff);
    }

    void everyCallFails()
    {
        QFETCH(int, phase);
        Tally tally;
        std::vector<std::string> trace;
        QCOMPARE(attempt(Phase(phase), 0, 0, &trace, tally), std::string());
        const long calls = static_cast<long>(trace.size());
        QVERIFY(calls > 0);
        qInfo("%ld calls to fail in turn", calls);
        // Every point is tried even after a problem, so that one run shows
        // all of them.
        std::vector<std::string> problems;
        for (long k = 1; k <= calls; ++k) {
            std::vector<int> errors{EIO, ENOSPC, EACCES, EROFS};
            // The host's calls retry an interrupted call wherever that is
            // safe; only a close or a flush hands EINTR on.
            const std::string &call = trace[static_cast<size_t>(k - 1)];
            if (call == "close" || call == "fsync")
                errors.push_back(EINTR);
            for (const int error : errors) {
                std::string problem = attempt(Phase(phase), k, error, nullptr, tally);
                if (!problem.empty())
                    problems.push_back(std::move(problem));
            }
        }
        qInfo("%ld faults injected, %ld reported, %zu went wrong", tally.attempts - 1, tally.reported,
              problems.size());
        for (size_t i = 0; i < problems.size() && i < 20; ++i)
            qWarning("%s", problems[i].c_str());
        QVERIFY(problems.empty());
    }

    void interruptedCallsAreRetried_data();
    void interruptedCallsAreRetried();

    // The same with a file system that really is full or read-only.
    void realFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("number");
        QTest::newRow("no inode left") << QStringLiteral("inodes") << 61;
        QTest::newRow("no block left") << QStringLiteral("blocks") << 61;
        QTest::newRow("read-only file system") << QStringLiteral("read-only") << 75;
    }

    void realFaults()
    {
        QFETCH(QString, fault);
        QFETCH(int, number);
        SmallFileSystem fileSystem("size=2m,nr_inodes=400,mode=0755");
        if (!fileSystem.mounted())
            QSKIP(qPrintable(QStringLiteral("cannot mount a file system here (%1)")
                                 .arg(QString::fromStdString(fileSystem.error()))));
        RunExpectation expected;
        expected.ownFiles[cleanerTxt] = startupLine();
        // Target 1 may have had a temporary file come and go; nothing else.
        expected.targets[0] = TargetOutcome::Interrupted;
        {
            TestDrive drive(TestDrive::Layout::Hostile, fileSystem.path());
            for (int target = 1; target <= 6; ++target) {
                drive.file(drive.targetFolder(target) + "/a.tmp", "junk");
                drive.file(drive.targetFolder(target) + "/B.TXT", "more junk");
            }
            drive.folder("filler");
            ProgramSession session(drive);
            QVERIFY(session.start());
            if (fault == QStringLiteral("read-only"))
                QVERIFY(fileSystem.makeReadOnly());
            else
                fillUp(drive.host("filler"), fault == QStringLiteral("inodes"));
            const DriveBefore before = captureBefore(drive);

            // The run stops at its first write, the marker of target 1.
            session.tickAll();
            session.clickClean();
            QCOMPARE(session.failures().size(), size_t(1));
            qInfo("%s", session.failures().front().what());
            QCOMPARE(session.failures().front().number(), number);
            QCOMPARE(session.tickedCount(), 6);
            QVERIFY(runAsExpected(drive, before, expected));

            // Switching the advanced mode on fails the same way and leaves
            // no flag file, torn or whole.
            session.clearFailures();
            QVERIFY(session.chooseAdvancedMode(true));
            session.confirmOptions();
            QCOMPARE(session.failures().size(), size_t(1));
            QCOMPARE(session.failures().front().number(), number);
            expected.ownFiles[optionsIni] = std::nullopt;
            QVERIFY(runAsExpected(drive, before, expected));
        }
    }
};

// Where the host's calls retry a call a signal interrupted: the raw call
// gives EINTR under the same signals, the seam's call gets through.
void TestFaultInjection::interruptedCallsAreRetried_data()
{
    QTest::addColumn<bool>("throughTheSeam");
    QTest::newRow("raw call") << false;
    QTest::newRow("through SystemCalls") << true;
}

void TestFaultInjection::interruptedCallsAreRetried()
{
    QFETCH(bool, throughTheSeam);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SystemCalls &host = SystemCalls::host();

    // An open of a FIFO waits for the other end.
    const std::string fifo = dir.filePath(QStringLiteral("fifo")).toStdString();
    QCOMPARE(mkfifo(fifo.c_str(), 0600), 0);
    int writer = -1;
    bool inside = false;
    const int reader = callWhileInterrupted(
        SYS_openat, inside,
        [&] {
            return throughTheSeam ? host.openat(AT_FDCWD, fifo.c_str(), O_RDONLY | O_CLOEXEC, 0)
                                  : ::openat(AT_FDCWD, fifo.c_str(), O_RDONLY | O_CLOEXEC, 0);
        },
        [&] {
            // Without a reader inside its open yet, this fails with ENXIO.
            writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return writer >= 0;
        });
    const int openError = errno;
    QVERIFY2(inside, "the open never waited for the FIFO's other end");
    QVERIFY(g_signalsCaught > 0);
    if (throughTheSeam) {
        QVERIFY2(reader >= 0, std::strerror(openError));
        ::close(reader);
    } else {
        QCOMPARE(reader, -1);
        QCOMPARE(openError, EINTR);
    }
    if (writer >= 0)
        ::close(writer);

    // A write to a full pipe waits for room.
    int ends[2];
    QCOMPARE(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    char block[4096] = {};
    while (::write(ends[1], block, sizeof block) > 0) {
    }
    fcntl(ends[1], F_SETFL, 0);
    const ssize_t wrote = callWhileInterrupted(
        SYS_write, inside,
        [&] { return throughTheSeam ? host.write(ends[1], "line\r\n", 6) : ::write(ends[1], "line\r\n", 6); },
        [&] {
            while (::read(ends[0], block, sizeof block) > 0) {
            }
            return true;
        });
    const int writeError = errno;
    QVERIFY2(inside, "the write never waited for room in the pipe");
    QVERIFY(g_signalsCaught > 0);
    if (throughTheSeam) {
        QCOMPARE(wrote, ssize_t(6));
    } else {
        QCOMPARE(wrote, ssize_t(-1));
        QCOMPARE(writeError, EINTR);
    }
    ::close(ends[0]);
    ::close(ends[1]);
}

QTEST_MAIN(TestFaultInjection)
#include "tst_faultinjection.moc"
