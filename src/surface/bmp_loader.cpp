// The platform image loader: LoadImageA for BMP files. It reads the file's
// bytes through the file services, and the pixel engine decodes them into a
// section at the file's own depth (see pixels/bmp_decode.h for what it
// accepts). Pipes and devices are read to their end, within what the
// headers say is worth reading, and give the same picture as a file; what
// was read from one that does not load is kept for the reader's own reading
// (files.h).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "pixels/bmp_decode.h"
#include "pixels/row_codec.h"
#include "surface/services.h"
#include "surface/testing.h"

namespace platform {
namespace {

namespace pixels = veerpic::pixels;

constexpr UINT kKnownFlags = LR_LOADFROMFILE | LR_VGACOLOR | LR_CREATEDIBSECTION;

HANDLE Fail(DWORD code) {
    SetLastError(code);
    return nullptr;
}

// An open file, closed on every path.
class OpenHandle {
  public:
    explicit OpenHandle(HANDLE handle) : handle_(handle) {}
    ~OpenHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    OpenHandle(const OpenHandle&) = delete;
    OpenHandle& operator=(const OpenHandle&) = delete;
    HANDLE get() const { return handle_; }
    HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

  private:
    HANDLE handle_;
};

// The first bytes of a file, growing as more are read.
class FileBytes {
  public:
    ~FileBytes() { std::free(data_); }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool ended() const { return ended_; }
    std::uint8_t* release() {
        std::uint8_t* data = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return data;
    }

    // Reads until the buffer holds `want` bytes or the file ends. A file of
    // known length is read in as few reads as may be; a stream's buffer grows
    // with what actually arrives, so that a pipe whose headers promise much
    // and deliver little costs little. False with the last-error code set
    // when a read fails or memory runs out.
    bool ReadUpTo(HANDLE file, std::uint64_t want, bool knownLength) {
        while (size_ < want && !ended_) {
            const std::uint64_t step =
                knownLength ? std::uint64_t{1} << 30 : std::max<std::uint64_t>(size_, 1 << 16);
            const std::size_t chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(want - size_, step));
            if (!Reserve(size_ + chunk)) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return false;
            }
            DWORD got = 0;
            if (!ReadFile(file, data_ + size_, static_cast<DWORD>(chunk), &got, nullptr)) {
                return false;
            }
            size_ += got;
            ended_ = got < chunk;
        }
        return true;
    }

    // Moves the bytes from `offset` on into `to` and reads the rest of
    // `count` bytes straight from the file after them. False with the
    // last-error code set when a read fails or the file ends first.
    bool ReadInto(HANDLE file, std::uint64_t offset, std::uint8_t* to, std::uint64_t count) {
        const std::uint64_t held = std::min<std::uint64_t>(size_ - offset, count);
        std::memcpy(to, data_ + offset, static_cast<std::size_t>(held));
        for (std::uint64_t done = held; done < count;) {
            const auto chunk =
                static_cast<DWORD>(std::min<std::uint64_t>(count - done, std::uint64_t{1} << 30));
            DWORD got = 0;
            if (!ReadFile(file, to + done, chunk, &got, nullptr)) {
                return false;
            }
            if (got == 0) {
                SetLastError(detail::ErrorFromStatus(pixels::Status::kInvalidData));
                return false;  // the file ended before its picture
            }
            done += got;
        }
        return true;
    }

  private:
    bool Reserve(std::size_t bytes) {
        if (bytes <= capacity_) {
            return true;
        }
        const std::size_t grown = bytes;
        if (InjectedFault(SystemCall::kAllocate) != 0) {
            return false;
        }
        auto* more = static_cast<std::uint8_t*>(std::realloc(data_, grown));
        if (more == nullptr) {
            return false;
        }
        data_ = more;
        capacity_ = grown;
        return true;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool ended_ = false;
};

bool IsRle(std::uint32_t compression) {
    return compression == BI_RLE8 || compression == BI_RLE4;
}

// An uncompressed picture in a file of known length: its rows lie in the
// file as they lie in the section, so the bytes go there without a copy in
// between.
HANDLE ReadStraight(HANDLE file, FileBytes& bytes, const pixels::BmpLayout& layout) {
    if (!bytes.ReadUpTo(file, layout.pixelOffset, true)) {
        return nullptr;
    }
    if (bytes.size() < layout.pixelOffset) {
        return Fail(ERROR_INVALID_DATA);
    }
    HBITMAP section = detail::NewSection(layout.format);
    if (section == nullptr) {
        return nullptr;  // NewSection set the code
    }
    const pixels::Plane plane = section->Plane();
    const std::uint64_t picture =
        std::uint64_t{layout.format.stride} * static_cast<std::uint64_t>(layout.format.height);
    if (!bytes.ReadInto(file, layout.pixelOffset, plane.bits, picture)) {
        const DWORD reason = GetLastError();
        DeleteObject(section);
        return Fail(reason);
    }
    pixels::ClearRowEnds(plane);
    return section;
}

HANDLE LoadFrom(HANDLE file, FileBytes& bytes, std::optional<std::uint64_t> fileSize) {
    const bool known = fileSize.has_value();
    if (!bytes.ReadUpTo(file, pixels::kBmpHeadBytes, known)) {
        return nullptr;
    }
    pixels::BmpLayout layout;
    pixels::Status status = pixels::InspectBmp(
        std::span<const std::uint8_t>(bytes.data(), bytes.size()), fileSize, &layout);
    if (status != pixels::Status::kOk) {
        return Fail(detail::ErrorFromStatus(status));
    }
    // A file whose pixels are stored as the section holds them is read
    // straight into the section.
    if (known && !IsRle(layout.compression)) {
        return ReadStraight(file, bytes, layout);
    }
    if (!bytes.ReadUpTo(file, layout.pixelOffset + layout.pixelBytes, known)) {
        return nullptr;
    }
    if (bytes.size() < layout.pixelOffset) {
        return Fail(ERROR_INVALID_DATA);  // a stream that ends before its pixels
    }

    HBITMAP section = detail::NewSection(layout.format);
    if (section == nullptr) {
        return nullptr;  // NewSection set the code
    }
    status = pixels::DecodeBmpPixels(
        layout,
        std::span<const std::uint8_t>(bytes.data() + layout.pixelOffset,
                                      bytes.size() - static_cast<std::size_t>(layout.pixelOffset)),
        section->Plane());
    if (status != pixels::Status::kOk) {
        DeleteObject(section);
        return Fail(detail::ErrorFromStatus(status));
    }
    return section;
}

HANDLE LoadBmpFile(const char* path) {
    OpenHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return nullptr;  // the open set the code
    }
    // A pipe or a device has no length to go by: it is read as far as its
    // headers make worth it.
    std::int64_t length = 0;
    std::optional<std::uint64_t> fileSize;
    if (GetFileSizeEx(file.get(), &length) && length > 0) {
        fileSize = static_cast<std::uint64_t>(length);
    }
    FileBytes bytes;
    HANDLE loaded = LoadFrom(file.get(), bytes, fileSize);
    if (loaded == nullptr && !fileSize.has_value()) {
        // A stream's bytes cannot be read twice: what was read goes on to
        // the next reading of the same path, with the stream itself.
        const DWORD reason = GetLastError();
        const bool ended = bytes.ended();
        const std::size_t size = bytes.size();
        detail::KeepStream(path, file.release(), bytes.release(), size, ended);
        SetLastError(reason);
    }
    return loaded;
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
