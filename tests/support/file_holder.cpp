// file_holder open|map PATH
// Holds PATH open, or mapped with its descriptor closed, as another program
// would while the tests clean its folder. Prints "ready" once it holds the
// file and lets go when its standard input ends; exits 0 only if the file
// still reads as it did.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "open") != 0 && std::strcmp(argv[1], "map") != 0)) {
        std::fprintf(stderr, "usage: %s open|map PATH\n", argv[0]);
        return 2;
    }
    const int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0 || status.st_size == 0) {
        std::perror(argv[2]);
        return 1;
    }
    const std::size_t size = std::size_t(status.st_size);
    std::string before(size, '\0');
    void *mapped = nullptr;
    if (std::strcmp(argv[1], "map") == 0) {
        mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED || close(fd) != 0) {
            std::perror("mmap");
            return 1;
        }
        std::memcpy(before.data(), mapped, size);
    } else if (pread(fd, before.data(), size, 0) != ssize_t(size)) {
        std::perror("pread");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char ignored[64];
    while (read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    std::string after(size, '\0');
    if (mapped)
        std::memcpy(after.data(), mapped, size);
    else if (pread(fd, after.data(), size, 0) != ssize_t(size))
        return 1;
    return after == before ? 0 : 1;
}
