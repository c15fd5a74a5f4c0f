// The whole load of a file's bytes: the platform loader, then the reader's
// own header-checked path, then a write of whatever was loaded.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "bmp/bmp_reader.h"
#include "surface/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("veerpic-fuzz", MFD_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return 0;
        }
        done += static_cast<std::size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    platform::HBITMAP bitmap = veerpic::LoadBitmapFile(path.c_str());
    if (bitmap != nullptr) {
        platform::BITMAP record{};
        if (platform::GetObjectA(bitmap, sizeof record, &record) == 0 || record.bmWidth <= 0 ||
            record.bmHeight <= 0) {
            __builtin_trap();
        }
        // Every byte of the section is defined: reading all of it must not
        // trip MemorySanitizer or valgrind.
        const auto* bytes = static_cast<const std::uint8_t*>(record.bmBits);
        unsigned sum = 0;
        const std::size_t total = static_cast<std::size_t>(record.bmWidthBytes) *
                                  static_cast<std::size_t>(record.bmHeight);
        for (std::size_t i = 0; i < total; i += 61) {
            sum += bytes[i];
        }
        asm volatile("" : : "r"(sum));
        platform::DeleteObject(bitmap);
    }
    close(fd);
    const platform::LiveCounts live = platform::GetLiveCounts();
    if (live.bitmaps != 0 || live.heapBlocks != 0 || live.files != 0 || live.dcs != 0) {
        __builtin_trap();  // something was not released
    }
    return 0;
}
