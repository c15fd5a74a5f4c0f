// Large reads from a regular file on POSIX, shared out between the cores:
// the system's copy into fresh pages (and its clearing of them) is most of
// the time of reading a large picture.
#include <cerrno>
#include <cstdint>

#include "surface/port_posix.h"
#include "surface/system_calls_posix.h"
#include "threads/parts.h"

namespace platform::posix {

std::int64_t ReadShared(int fd, std::uint8_t* out, std::uint64_t count, off_t at) {
    using veerpic::threads::PartStart;
    constexpr int kMaxParts = 8;
    const int parts = veerpic::threads::CoresToUse();
    std::uint64_t got[kMaxParts] = {};
    int failure[kMaxParts] = {};
    veerpic::threads::RunParts(parts, [&](int part) {
        const std::uint64_t first = PartStart(count, part, parts);
        const std::uint64_t end = PartStart(count, part + 1, parts);
        std::uint64_t& done = got[part];
        while (first + done < end) {
            const ssize_t n = ReadAt(fd, out + first + done, end - first - done,
                                     at + static_cast<off_t>(first + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                failure[part] = errno;
                return;
            }
            if (n == 0) {
                return;  // the end of the file
            }
            done += static_cast<std::uint64_t>(n);
        }
    });
    std::uint64_t total = 0;
    for (int part = 0; part < parts; ++part) {
        if (failure[part] != 0) {
            errno = failure[part];
            return -1;
        }
        total += got[part];
        if (got[part] < PartStart(count, part + 1, parts) - PartStart(count, part, parts)) {
            break;
        }
    }
    return static_cast<std::int64_t>(total);
}

}  // namespace platform::posix
