#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

// The one failure every file service raises. It carries the classic error
// number and words the program has always shown, the DOS path the failure
// concerns, and what the host said about it.
class FileError : public std::runtime_error
{
public:
    enum Number : int {
        BadFileNameOrNumber = 52,
        FileNotFound = 53,
        FileAlreadyOpen = 55,
        DeviceIoError = 57,
        DiskFull = 61,
        PermissionDenied = 70,
        PathFileAccessError = 75,
        PathNotFound = 76,
    };

    FileError(int number, std::string dosPath, std::string hostReason);

    int number() const noexcept { return m_number; }
    const std::string &words() const noexcept { return m_words; }
    const std::string &dosPath() const noexcept { return m_dosPath; }
    const std::string &hostReason() const noexcept { return m_hostReason; }

    // "File not found" for 53 and so on; "" for a number the services never raise.
    static std::string wordsFor(int number);

    // Host names are bytes: text that is valid UTF-8 is kept, every other
    // byte, and every control character, becomes "\xE9" and the like, so a
    // name that is not UTF-8 can still be told apart and found.
    static std::string printable(std::string_view bytes);

private:
    int m_number;
    std::string m_words;
    std::string m_dosPath;
    std::string m_hostReason;
};
