#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throw-away drive C: laid out like a Windows 98 machine: the six junk
// folders plus enough of the rest of the system (win.ini, SYSTEM, My
// Documents, links into and out of the junk folders) that a cleaner reaching
// past its folders would be caught by a snapshot.
class TestDrive
{
public:
    // The six folders as they are stored on the drive, by target number.
    static QString targetFolder(int target);

    // What a freshly built junk folder holds.
    enum class Fill {
        Empty,      // nothing at all
        Junk,       // plain files, a link to a file, a subfolder, a hidden file
        NoOrdinary, // only a subfolder and a hidden file: no ordinary file to match
    };

    TestDrive();

    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString hostPath(const QString &relative) const;

    void fill(int target, Fill fill);
    void fillAll(Fill fill);
    void write(const QString &relative, const QByteArray &content);
    void removeFolder(int target);

    // Names directly inside a folder, sorted, hidden ones included.
    QStringList entries(const QString &relative) const;
    QByteArray read(const QString &relative) const;

    // Every file, link and folder below the root, keyed by its path relative
    // to the root: kind, permission bits, and the content or link target.
    using Snapshot = QMap<QString, QByteArray>;
    Snapshot snapshot() const;

    // The paths whose entry differs between two snapshots, leaving out the
    // non-folder entries directly inside the given folders (the ones a clean
    // of those folders may delete or write).
    static QStringList differences(const Snapshot &before, const Snapshot &after,
                                   const QStringList &cleanedFolders = {});

    // The 45 bytes every marker file must hold.
    static QByteArray markerLine();

private:
    QTemporaryDir m_dir;
};
