// The platform image loader: LoadImageA for BMP files. It reads the file,
// judges its description like a section creation does (with the allowances a
// loader makes for files in the wild, below), and returns a section at the
// file's own depth holding the picture.
//
// Allowances: the reserved words and bfSize of the file header are ignored
// (the real file size is used instead); the pixels start at bfOffBits, gap or
// not; an OS/2 colour table may be shorter than 2^depth (its length comes from
// bfOffBits; missing entries are black); a colour table longer than 2^depth
// is used up to 2^depth entries when the file holds it all.
//
// Refusals: anything the section creation refuses, and any file shorter than
// its headers say: pixel rows that are not all there, or a compressed stream
// that ends before its end code. Such files are left to the caller's own
// reading.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "surface/byte_order.h"
#include "surface/dib.h"

namespace platform {
namespace {

using detail::LoadU16;
using detail::LoadU32;

constexpr UINT kKnownFlags = LR_LOADFROMFILE | LR_VGACOLOR | LR_CREATEDIBSECTION;
constexpr std::size_t kFileHeaderSize = 14;
constexpr DWORD kCoreHeaderSize = 12;
constexpr DWORD kOs2ShortHeaderSize = 16;
// The most of the info block a description can use: the largest header, four
// masks and 256 colour entries of 4 bytes.
constexpr std::size_t kMaxDescriptionBytes = 124 + 16 + 256 * 4;
// BMP sizes are 32-bit: no pixel block can be longer.
constexpr std::uint64_t kMaxPixelBytes = 0xFFFFFFFFu;
// A compressed picture may be as large as this whatever its stream...
constexpr std::uint64_t kRleFreeSectionBytes = 64u << 20;
// ...and beyond that at most this many section bytes per stream byte. Runs
// give at most about 128; only long skips go further, and a picture that
// large made of skips is left to the caller's own reading.
constexpr std::uint64_t kRleMaxExpansion = 1024;

// An open file, closed on every path.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

HANDLE Fail(DWORD code) {
    SetLastError(code);
    return nullptr;
}

// Reads exactly `size` bytes at `offset`; false with errno set, or with
// errno 0 when the file ends first.
bool ReadExactly(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    while (size > 0) {
        const std::size_t chunk = std::min<std::size_t>(size, std::size_t{1} << 30);
        const ssize_t got = pread(fd, out, chunk, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            errno = 0;
            return false;
        }
        out += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

DWORD ReadFailure() {
    return errno == 0 ? ERROR_INVALID_DATA : MapErrno(errno);
}

// Makes the info block (the bytes between the file header and bfOffBits, of
// which `block` holds the first part) into a description the section
// creation judges as it stands: an OS/2 table cut short is padded with black
// entries, an overlong table is cut to 2^depth entries. `available` is the
// whole block's length. False with *error set when the block cannot be one.
bool PrepareDescription(std::vector<std::uint8_t>& block, std::uint64_t available, DWORD* error) {
    if (block.size() < 4) {
        return true;  // judged (and refused) as it stands
    }
    const DWORD headerSize = LoadU32(block.data());
    if ((headerSize == kCoreHeaderSize || headerSize == kOs2ShortHeaderSize) &&
        block.size() >= headerSize) {
        // No colour count in the header: the table is whatever lies before
        // the pixels, up to 2^depth entries.
        const unsigned bitCount = LoadU16(block.data() + (headerSize == kCoreHeaderSize ? 10 : 14));
        if (bitCount == 1 || bitCount == 4 || bitCount == 8) {
            const std::size_t entry = headerSize == kCoreHeaderSize ? 3 : 4;
            const std::size_t full = headerSize + (std::size_t{1} << bitCount) * entry;
            if (block.size() < full) {
                block.resize(full, 0);
            }
        }
        return true;
    }
    if (headerSize < 40 || block.size() < 40) {
        return true;  // judged (and refused) as it stands
    }
    const unsigned bitCount = LoadU16(block.data() + 14);
    const DWORD clrUsed = LoadU32(block.data() + 32);
    if (bitCount <= 8 && bitCount > 0 && clrUsed > (DWORD{1} << bitCount)) {
        if (headerSize + std::uint64_t{clrUsed} * 4 > available) {
            *error = ERROR_INVALID_DATA;  // the file does not hold the table it declares
            return false;
        }
        const DWORD full = 0;  // 0 entries declared means the full 2^depth
        std::memcpy(block.data() + 32, &full, sizeof full);
    }
    return true;
}

HANDLE LoadBmpFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return Fail(MapErrno(errno));
    }
    FileDescriptor file(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return Fail(MapErrno(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        return Fail(MapErrno(EISDIR));
    }
    if (!S_ISREG(st.st_mode)) {
        return Fail(ERROR_INVALID_DATA);  // devices and pipes hold no BMP file of known length
    }
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);

    std::uint8_t fileHeader[kFileHeaderSize];
    if (fileSize < kFileHeaderSize || !ReadExactly(fd, 0, fileHeader, kFileHeaderSize)) {
        return Fail(fileSize < kFileHeaderSize ? ERROR_INVALID_DATA : ReadFailure());
    }
    if (LoadU16(fileHeader) != BMP_SIGNATURE) {
        return Fail(ERROR_INVALID_DATA);
    }
    const std::uint64_t offBits = LoadU32(fileHeader + 10);
    if (offBits < kFileHeaderSize + 4 || offBits >= fileSize) {
        return Fail(ERROR_INVALID_DATA);
    }

    try {
        const std::uint64_t available = offBits - kFileHeaderSize;
        std::vector<std::uint8_t> description(
            static_cast<std::size_t>(std::min<std::uint64_t>(available, kMaxDescriptionBytes)));
        if (!ReadExactly(fd, kFileHeaderSize, description.data(), description.size())) {
            return Fail(ReadFailure());
        }
        DWORD error = ERROR_SUCCESS;
        if (!PrepareDescription(description, available, &error)) {
            return Fail(error);
        }
        detail::DibFormat format;
        DWORD compression = BI_RGB;
        if (!detail::DescribeDib(reinterpret_cast<const BITMAPINFO*>(description.data()),
                                 static_cast<DWORD>(description.size()), &format, &compression,
                                 &error)) {
            return Fail(error);
        }

        const std::uint64_t pixelBytesInFile = fileSize - offBits;
        const std::uint64_t sectionBytes =
            std::uint64_t{format.stride} * static_cast<std::uint64_t>(format.height);
        std::uint64_t toRead = sectionBytes;
        if (compression == BI_RLE8 || compression == BI_RLE4) {
            toRead = std::min(pixelBytesInFile, kMaxPixelBytes);
            if (sectionBytes > kRleFreeSectionBytes && sectionBytes / kRleMaxExpansion > toRead) {
                return Fail(ERROR_INVALID_DATA);
            }
        } else if (pixelBytesInFile < sectionBytes) {
            return Fail(ERROR_INVALID_DATA);  // rows missing at the end of the file
        }
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(toRead));
        if (!ReadExactly(fd, offBits, pixels.data(), pixels.size())) {
            return Fail(ReadFailure());
        }

        HBITMAP section = detail::NewSection(format);
        if (section == nullptr) {
            return nullptr;  // NewSection set the code
        }
        const int rows = detail::ConvertIntoSection(*section, format, compression, 0,
                                                    static_cast<UINT>(format.height), pixels.data(),
                                                    pixels.size());
        if (rows != format.height) {
            DeleteObject(section);
            return Fail(ERROR_INVALID_DATA);  // the compressed stream ends too early
        }
        return section;
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace

// Only BMP files loaded from a path as DIB sections at their own size exist
// here: there are no resources to load from, and no device bitmaps.
HANDLE LoadImageA(HINSTANCE /*instance*/, LPCSTR name, UINT type, int cx, int cy, UINT flags) {
    if (name == nullptr || type != IMAGE_BITMAP) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((flags & ~kKnownFlags) != 0 || (flags & LR_LOADFROMFILE) == 0 ||
        (flags & LR_CREATEDIBSECTION) == 0 || cx != 0 || cy != 0) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    return LoadBmpFile(name);
}

}  // namespace platform
