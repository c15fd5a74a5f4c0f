// copy_floor INPUT OUTPUT BYTES
//
// The least any tool that turns INPUT into a file of BYTES bytes must do: it
// reads INPUT to its end with read() in blocks of 1 MiB, then creates OUTPUT
// (truncating an existing file, mode 0644) and writes BYTES zero bytes to it
// with write() in blocks of 1 MiB, and closes it. One process, one buffer of
// 1 MiB, no other memory: bench/stages.py times it as the floor of a run.
//
// Exit code 0 when all was read and written, 2 otherwise.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;
alignas(4096) char block[kBlock];

bool ReadAll(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ssize_t got = 0;
    while ((got = ::read(fd, block, kBlock)) != 0) {
        if (got < 0 && errno != EINTR) {
            ::close(fd);
            return false;
        }
    }
    return ::close(fd) == 0;
}

bool WriteZeros(const char* path, unsigned long long bytes) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    // The block still holds the input's last bytes; the file gets zeros.
    std::memset(block, 0, kBlock);
    while (bytes > 0) {
        const std::size_t want = bytes < kBlock ? static_cast<std::size_t>(bytes) : kBlock;
        const ssize_t put = ::write(fd, block, want);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            ::close(fd);
            return false;
        }
        bytes -= static_cast<unsigned long long>(put);
    }
    return ::close(fd) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: copy_floor INPUT OUTPUT BYTES\n", stderr);
        return 1;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long bytes = std::strtoull(argv[3], &end, 10);
    if (errno != 0 || end == argv[3] || *end != '\0' || argv[3][0] == '-') {
        std::fputs("copy_floor: BYTES must be a whole number\n", stderr);
        return 1;
    }
    if (!ReadAll(argv[1])) {
        std::perror(argv[1]);
        return 2;
    }
    if (!WriteZeros(argv[2], bytes)) {
        std::perror(argv[2]);
        return 2;
    }
    return 0;
}
