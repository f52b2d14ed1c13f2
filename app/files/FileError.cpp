#include "files/FileError.h"

#include "files/CaseFolding.h"

#include <cstdio>
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

std::string FileError::printable(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        const std::string_view character = bytes.substr(at, length);
        // Control characters are escaped too: a name must not be able to
        // break a message's lines or drive a terminal.
        const bool control = lead < 0x20 || lead == 0x7F;
        if (!control && character.size() == length && isValidUtf8(character)) {
            text += character;
            at += length;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", unsigned(lead));
        text += escaped;
        ++at;
    }
    return text;
}
