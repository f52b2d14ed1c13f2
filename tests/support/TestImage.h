#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>

// A disk image for one test, made by the tools users make them with:
// mkfs.fat, mtools, sfdisk and qemu-img, never the program under test. Its
// raw form is built first; as() hands it over in another format. A tool
// that fails throws std::runtime_error, so an image that could not be made
// fails the test instead of testing something else.
class TestImage
{
public:
    enum class Fat { Fat12, Fat16, Fat32 };

    // With partitioned, an MBR with the drive as its one partition at
    // sector 63, as FDISK put it; else the drive is the whole image.
    explicit TestImage(Fat fat, bool partitioned = false);

    QString folderPath() const { return m_dir.path(); }
    QString rawPath() const { return m_raw; }

    // DOS paths with "/" ("WINDOWS/TEMP"); attributes as mattrib takes them
    // ("+h +s").
    void folder(const QString &path);
    void file(const QString &path, const QByteArray &content = "junk", const QString &attributes = {});

    // The image as format: "raw", "qcow2", "vdi", "vmdk", "vhd-fixed",
    // "vhd-dynamic"; its path, a file of its own beside the raw one.
    QString as(const QString &format);

    // Of the drive in the image at path, of any format: every entry with
    // its attributes (mattrib -/), the content of one file, and what
    // fsck.fat -n finds wrong ("" for nothing).
    QString listing(const QString &path);
    QByteArray content(const QString &path, const QString &dosPath);
    QString fsckProblems(const QString &path, const QStringList &allowed = {});

    static QByteArray bytes(const QString &path);

    // --- Damage, made by hand in the raw image, as a crash or a bad tool
    // leaves it ---
    std::uint64_t driveOffset() const { return m_partitioned ? 63 * 512 : 0; }
    // Where the short record of the entry whose 8.3 name is name11 ("A
    // TMP" padded to 11) lies in the raw image; throws where there is none.
    std::uint64_t recordOffset(const QByteArray &name11) const;
    std::uint32_t firstCluster(const QByteArray &name11) const;
    // The drive's last cluster: its FAT's last entry that counts.
    std::uint32_t lastCluster() const;
    // Sets a FAT entry in every copy, or in the first alone.
    void setFatEntry(std::uint32_t cluster, std::uint32_t value, bool everyCopy = true);
    std::uint32_t fatEntry(std::uint32_t cluster) const;
    void patch(std::uint64_t offset, const QByteArray &bytes);
    Fat fat() const { return m_fat; }

    // Runs a tool, throwing with what it said when it fails.
    static QString run(const QString &program, const QStringList &arguments);

private:
    QString image(const QString &path) const;
    QString rawOf(const QString &path);

    Fat m_fat;
    bool m_partitioned;
    QTemporaryDir m_dir;
    QString m_raw;
    int m_converted = 0;
};
