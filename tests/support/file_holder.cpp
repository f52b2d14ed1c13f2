// file_holder open|map PATH...
// Holds each PATH open, or mapped with its descriptor closed, as another
// program would while the tests clean its folder. Prints "ready" once it
// holds them all and lets go when its standard input ends; exits 0 only if
// every file still reads as it did.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Held
{
    int fd = -1;
    void *mapped = nullptr;
    std::string before;
};

bool contents(const Held &held, std::string &text)
{
    text.assign(held.before.size(), '\0');
    if (held.mapped) {
        std::memcpy(text.data(), held.mapped, text.size());
        return true;
    }
    return pread(held.fd, text.data(), text.size(), 0) == ssize_t(text.size());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || (std::strcmp(argv[1], "open") != 0 && std::strcmp(argv[1], "map") != 0)) {
        std::fprintf(stderr, "usage: %s open|map PATH...\n", argv[0]);
        return 2;
    }
    const bool map = std::strcmp(argv[1], "map") == 0;
    std::vector<Held> files;
    for (int i = 2; i < argc; ++i) {
        Held &held = files.emplace_back();
        held.fd = open(argv[i], O_RDONLY | O_CLOEXEC);
        struct stat status;
        if (held.fd < 0 || fstat(held.fd, &status) != 0 || status.st_size == 0) {
            std::perror(argv[i]);
            return 1;
        }
        held.before.resize(std::size_t(status.st_size));
        if (map) {
            held.mapped = mmap(nullptr, held.before.size(), PROT_READ, MAP_SHARED, held.fd, 0);
            if (held.mapped == MAP_FAILED || close(held.fd) != 0) {
                std::perror("mmap");
                return 1;
            }
            held.fd = -1;
        }
        std::string now;
        if (!contents(held, now)) {
            std::perror("read");
            return 1;
        }
        held.before = now;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char ignored[64];
    while (read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    for (const Held &held : files) {
        std::string after;
        if (!contents(held, after) || after != held.before)
            return 1;
    }
    return 0;
}
