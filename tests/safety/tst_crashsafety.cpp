#include "files/FileError.h"
#include "files/FileServices.h"
#include "support/TestDrive.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <optional>
#include <set>

namespace {

std::string line(const std::string &text)
{
    return "\"" + text + "\"\r\n";
}

// One file a writer keeps rewriting, and what it may hold after a kill.
struct Written
{
    const char *dosFolder;
    const char *hostFolder;
    const char *name;
    const char *text;
};

const Written writtenFiles[] = {
    {"C:\\WINDOWS\\RECENT", "windows/Recent", "deleted.inf", "This directory was emptyed by Brightsweep"},
    {"c:\\windows", "windows", "options.ini", "Advanced mode = on"},
    {"c:\\windows", "windows", "cleaner.txt", "Hello World"},
};

} // namespace

// Killed at any moment while it writes, the program leaves each of its files
// absent, as it was, or complete, and whatever temporary file it leaves
// behind is never taken for an ordinary file.
class TestCrashSafety : public QObject
{
    Q_OBJECT

private:
    TestDrive m_drive;
    int m_trials = 0;
    int m_leftovers = 0;
    int m_completeAfterKill = 0;

    void writeFile(const std::string &relative, const std::optional<std::string> &content)
    {
        if (m_drive.exists(relative))
            m_drive.remove(relative);
        if (content)
            m_drive.file(relative, *content);
    }

    // The old content for the next trial: absent, or a complete line that
    // differs from the one being written.
    std::optional<std::string> plantOld(const Written &file, int trial)
    {
        const std::optional<std::string> old =
            trial % 3 == 0 ? std::nullopt : std::optional<std::string>(line("old " + std::to_string(trial)));
        writeFile(std::string(file.hostFolder) + "/" + file.name, old);
        return old;
    }

    void checkAfterKill(const Written &file, const std::optional<std::string> &old, const char *who)
    {
        const std::optional<std::string> now = m_drive.content(std::string(file.hostFolder) + "/" + file.name);
        const bool complete = now == line(file.text);
        QVERIFY2(complete || now == old,
                 qPrintable(QStringLiteral("%1 killed while writing %2: it holds \"%3\"")
                                .arg(QString::fromLatin1(who), QString::fromLatin1(file.name),
                                     QString::fromStdString(now.value_or("(absent)")))));
        ++m_trials;
        m_completeAfterKill += complete ? 1 : 0;
    }

private slots:
    void initTestCase()
    {
        m_drive.folder("windows");
        m_drive.folder("windows/Recent");
    }

    // The real program, killed during its start-up, which writes cleaner.txt.
    void killTheProgramWhileStarting()
    {
        const Written &file = writtenFiles[2];
        const std::string cleaner = "windows/cleaner.txt";
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const QStringList arguments{QStringLiteral("--drive-c"), QString::fromStdString(m_drive.root())};

        // How long start-up takes to get cleaner.txt in place.
        writeFile(cleaner, std::nullopt);
        QElapsedTimer timer;
        QProcess probe;
        probe.setProcessEnvironment(environment);
        timer.start();
        probe.start(QStringLiteral(BRIGHTSWEEP_BINARY), arguments);
        QVERIFY(probe.waitForStarted());
        while (m_drive.content(cleaner) != line(file.text) && timer.elapsed() < 30000)
            QThread::usleep(500);
        const qint64 startUp = timer.elapsed();
        probe.kill();
        probe.waitForFinished();
        QVERIFY2(startUp < 30000, "the program never wrote cleaner.txt");
        qInfo("start-up writes cleaner.txt after %lld ms", static_cast<long long>(startUp));

        auto *random = QRandomGenerator::global();
        for (int trial = 0; trial < 50; ++trial) {
            const std::optional<std::string> old = plantOld(file, trial);
            QProcess program;
            program.setProcessEnvironment(environment);
            program.start(QStringLiteral(BRIGHTSWEEP_BINARY), arguments);
            QVERIFY(program.waitForStarted());
            // Most kills land around the write, some anywhere before it.
            const double share = trial % 5 == 0 ? random->generateDouble() : 0.8 + 0.4 * random->generateDouble();
            QThread::usleep(static_cast<unsigned long>(static_cast<double>(startUp) * 1000.0 * share));
            program.kill();
            QVERIFY(program.waitForFinished());
            checkAfterKill(file, old, "the program");
        }
    }

    // A writer that does nothing but rewrite one file, killed at random.
    void killAWriterInTheMiddle_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("marker in RECENT") << 0;
        QTest::newRow("options.ini") << 1;
        QTest::newRow("cleaner.txt") << 2;
    }

    void killAWriterInTheMiddle()
    {
        QFETCH(int, which);
        const Written &file = writtenFiles[which];
        auto *random = QRandomGenerator::global();
        for (int trial = 0; trial < 50; ++trial) {
            const std::optional<std::string> old = plantOld(file, trial);
            QProcess writer;
            writer.start(QStringLiteral(SAFETY_DRIVER),
                         {QString::fromStdString(m_drive.root()), QStringLiteral("rewrite"), QString::fromLatin1(file.dosFolder),
                          QString::fromLatin1(file.name), QString::fromLatin1(file.text)});
            QVERIFY(writer.waitForStarted());
            if (trial % 2 == 0)
                QVERIFY(writer.waitForReadyRead(30000)); // the first copy is in place
            QThread::usleep(static_cast<unsigned long>(random->bounded(20000)));
            writer.kill();
            QVERIFY(writer.waitForFinished());
            checkAfterKill(file, old, "the writer");
        }
    }

    // What the kills left behind: hidden temporary files, which first-match
    // and delete-by-pattern must treat as the hidden files they are.
    void leftoversAreNeverTakenForFiles()
    {
        std::set<std::string> leftovers;
        for (const char *folder : {"windows", "windows/Recent"}) {
            for (const std::string &name : m_drive.entries(folder)) {
                if (name.size() > 2 && name[0] == '.')
                    leftovers.insert(std::string(folder) + "/" + name);
            }
        }
        m_leftovers = static_cast<int>(leftovers.size());
        qInfo("%d kills: %d files complete, %d as they were; %d temporary files left behind", m_trials,
              m_completeAfterKill, m_trials - m_completeAfterKill, m_leftovers);
        if (leftovers.empty()) {
            // Make one the way a kill between create and rename would.
            writeFile("windows/Recent/.~bsw0123456789abcdef.tmp", std::string("\"This dir"));
            leftovers.insert("windows/Recent/.~bsw0123456789abcdef.tmp");
        }

        FileServices files(m_drive.root());
        writeFile("windows/Recent/deleted.inf", line("old"));
        QCOMPARE(files.firstMatch("C:\\WINDOWS\\RECENT\\*.*"), std::string("deleted.inf"));
        for (const char *pattern : {"C:\\WINDOWS\\RECENT\\*.*", "C:\\WINDOWS\\RECENT\\*.tmp", "C:\\WINDOWS\\*.*"}) {
            const std::string found = files.firstMatch(pattern);
            QVERIFY2(found.empty() || found[0] != '.', found.c_str());
        }
        files.deleteByPattern("C:\\WINDOWS\\RECENT\\*.*");
        QVERIFY(!m_drive.exists("windows/Recent/deleted.inf"));
        QVERIFY_THROWS_EXCEPTION(FileError, files.deleteByPattern("C:\\WINDOWS\\RECENT\\*.tmp"));
        for (const std::string &leftover : leftovers)
            QVERIFY2(m_drive.exists(leftover), leftover.c_str());
    }
};

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "tst_crashsafety.moc"
