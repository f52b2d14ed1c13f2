// bench_make_files DIR COUNT [PREFIX] [SUFFIX] [SIZE]
// Fills DIR (which must exist) with COUNT small files named
// PREFIX0000000SUFFIX upwards, each SIZE bytes long.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool parseCount(std::string_view text, long &value)
{
    const auto *end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end && value >= 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 6) {
        std::fprintf(stderr, "usage: %s DIR COUNT [PREFIX] [SUFFIX] [SIZE]\n", argv[0]);
        return 2;
    }
    long count = 0;
    long size = 64;
    if (!parseCount(argv[2], count) || (argc > 5 && !parseCount(argv[5], size))) {
        std::fprintf(stderr, "%s: COUNT and SIZE are whole numbers\n", argv[0]);
        return 2;
    }
    const std::string prefix = argc > 3 ? argv[3] : "junk";
    const std::string suffix = argc > 4 ? argv[4] : ".tmp";

    const int dirFd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], std::strerror(errno));
        return 1;
    }
    const std::string content(static_cast<std::size_t>(size), 'x');
    char digits[24];
    for (long i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%07ld", i);
        const std::string name = prefix + digits + suffix;
        const int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            std::fprintf(stderr, "%s: %s/%s: %s\n", argv[0], argv[1], name.c_str(), std::strerror(errno));
            return 1;
        }
        close(fd);
    }
    close(dirFd);
    return 0;
}
