#include "FileError.h"

#include <string>
#include <utility>

namespace {

std::string message(int number, const std::string &words, const std::string &dosPath,
                    const std::string &hostReason)
{
    std::string text = std::to_string(number) + " " + words;
    if (!dosPath.empty())
        text += ": " + dosPath;
    if (!hostReason.empty())
        text += " (" + hostReason + ")";
    return text;
}

} // namespace

FileError::FileError(int number, std::string dosPath, std::string hostReason)
    : std::runtime_error(message(number, wordsFor(number), dosPath, hostReason))
    , m_number(number)
    , m_words(wordsFor(number))
    , m_dosPath(std::move(dosPath))
    , m_hostReason(std::move(hostReason))
{
}

std::string FileError::wordsFor(int number)
{
    switch (number) {
    case BadFileNameOrNumber:
        return "Bad file name or number";
    case FileNotFound:
        return "File not found";
    case FileAlreadyOpen:
        return "File already open";
    case DeviceIoError:
        return "Device I/O error";
    case DiskFull:
        return "Disk full";
    case PermissionDenied:
        return "Permission denied";
    case PathFileAccessError:
        return "Path/File access error";
    case PathNotFound:
        return "Path not found";
    default:
        return {};
    }
}
