#pragma once

// A fresh drive C: in a temporary host folder for one test case, and the
// host-side checks the file service tests make on it.

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class TestDrive
{
public:
    // In a folder below base, on a file system of the test's choosing.
    explicit TestDrive(const QString &base = QDir::tempPath())
        : m_dir(base + "/brightsweep-XXXXXX")
    {
        QVERIFY(m_dir.isValid());
    }

    std::string root() const { return m_dir.path().toStdString(); }
    std::string host(const std::string &relative) const { return root() + "/" + relative; }

    void folder(const std::string &relative) const { QCOMPARE(mkdir(host(relative).c_str(), 0755), 0); }

    void file(const std::string &relative, const std::string &content = "junk", mode_t mode = 0644) const
    {
        std::ofstream(host(relative), std::ios::binary) << content;
        QCOMPARE(chmod(host(relative).c_str(), mode), 0);
    }

    void link(const std::string &relative, const std::string &target) const
    {
        QCOMPARE(symlink(target.c_str(), host(relative).c_str()), 0);
    }

    void fifo(const std::string &relative) const { QCOMPARE(mkfifo(host(relative).c_str(), 0644), 0); }

    // Wine's DOS attributes; false where the host file system keeps none.
    bool dosAttributes(const std::string &relative, const std::string &value,
                       const char *attribute = "user.DOS_ATTRIB") const
    {
        return lsetxattr(host(relative).c_str(), attribute, value.data(), value.size(), 0) == 0;
    }

    bool exists(const std::string &relative) const
    {
        struct stat status;
        return lstat(host(relative).c_str(), &status) == 0;
    }

    bool isLink(const std::string &relative) const
    {
        struct stat status;
        return lstat(host(relative).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    }

    std::string read(const std::string &relative) const
    {
        std::ifstream in(host(relative), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Every entry of a folder, dot-files included, in byte order.
    std::vector<std::string> entries(const std::string &relative = {}) const
    {
        std::vector<std::string> names;
        if (DIR *dir = opendir(relative.empty() ? root().c_str() : host(relative).c_str())) {
            while (const dirent *entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..")
                    names.push_back(name);
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Builds entries from a compact list: "f:name" a file, "r:name" one
    // without write bits, "d:name" a folder, "p:name" a FIFO,
    // "l:name>target" a link, "H:name" and "R:name" files that Wine marks
    // hidden or read-only, "G:name" one whose DOS attributes are no number.
    // Returns false when the host keeps no DOS attributes.
    bool build(const std::string &folderName, const QStringList &entries) const
    {
        bool attributesKept = true;
        for (const QString &item : entries) {
            const std::string text = item.toStdString();
            const char kind = text[0];
            std::string name = folderName + "/" + text.substr(2);
            if (kind == 'f') {
                file(name);
            } else if (kind == 'r') {
                file(name, "junk", 0444);
            } else if (kind == 'd') {
                folder(name);
            } else if (kind == 'p') {
                fifo(name);
            } else if (kind == 'l') {
                const auto arrow = name.find('>');
                link(name.substr(0, arrow), name.substr(arrow + 1));
            } else if (kind == 'H' || kind == 'R' || kind == 'G') {
                file(name);
                const char *value = kind == 'H' ? "0x2" : kind == 'R' ? "0x21" : "rubbish";
                attributesKept = dosAttributes(name, value) && attributesKept;
            }
        }
        return attributesKept;
    }

private:
    QTemporaryDir m_dir;
};

// Builds a name list for QCOMPARE from raw bytes, invalid UTF-8 included.
inline std::vector<std::string> names(std::initializer_list<const char *> list)
{
    return {list.begin(), list.end()};
}
