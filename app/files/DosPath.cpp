#include "files/DosPath.h"

namespace {

bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool isDrivePrefix(std::string_view path)
{
    return path.size() >= 2 && path[1] == ':';
}

} // namespace

std::optional<DosFolderPath> resolveDosFolder(std::string_view dosPath,
                                              const std::vector<std::string> &currentDirectory)
{
    if (isDrivePrefix(dosPath)) {
        if (dosPath[0] != 'C' && dosPath[0] != 'c')
            return std::nullopt;
        dosPath.remove_prefix(2);
    }
    DosFolderPath result;
    if (!dosPath.empty() && isSeparator(dosPath[0])) {
        if (dosPath.size() >= 2 && isSeparator(dosPath[1]))
            return std::nullopt;
    } else {
        result.components = currentDirectory;
        result.belowCurrent = true;
    }

    std::size_t start = 0;
    while (start <= dosPath.size()) {
        std::size_t end = start;
        while (end < dosPath.size() && !isSeparator(dosPath[end]))
            ++end;
        const std::string_view name = dosPath.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (result.components.empty())
                return std::nullopt;
            result.components.pop_back();
            if (result.components.size() < currentDirectory.size())
                result.belowCurrent = false;
            continue;
        }
        result.components.emplace_back(name);
    }
    return result;
}

DosPathParts splitDosPath(std::string_view dosPath)
{
    const std::size_t last = dosPath.find_last_of("\\/");
    if (last != std::string_view::npos)
        return {dosPath.substr(0, last + 1), dosPath.substr(last + 1)};
    if (isDrivePrefix(dosPath))
        return {dosPath.substr(0, 2), dosPath.substr(2)};
    return {dosPath.substr(0, 0), dosPath};
}

std::string dosPathText(const std::vector<std::string> &components, std::string_view name)
{
    std::string text = "C:";
    for (const std::string &component : components)
        text += '\\' + component;
    if (components.empty() || !name.empty())
        text += '\\';
    text += name;
    return text;
}
