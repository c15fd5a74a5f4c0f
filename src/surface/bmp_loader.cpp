// The platform image loader, LoadImageA: the engine's loader
// (pixels/bmp_stream.h) decides what to read and where; here are its reads,
// through the file services, and its picture, a new section. What was read
// from a stream that does not load is kept for the reader's own reading.
#include <cstdlib>
#include <optional>

#include "pixels/bmp_stream.h"
#include "surface/services.h"
#include "surface/testing.h"

namespace platform {
namespace {

namespace pixels = veerpic::pixels;

// What the engine's loader reads from and makes its picture in.
struct Source {
    HANDLE file = INVALID_HANDLE_VALUE;
    HBITMAP section = nullptr;
    DWORD reason = ERROR_SUCCESS;  // why a read, a growth or the section failed
};

std::int64_t Read(void* context, std::uint8_t* to, std::uint32_t count) {
    auto* source = static_cast<Source*>(context);
    DWORD got = 0;
    if (!ReadFile(source->file, to, count, &got, nullptr)) {
        source->reason = GetLastError();
        return -1;
    }
    return got;
}

void* Grow(void* context, void* block, std::size_t bytes) {
    void* grown = InjectedFault(SystemCall::kAllocate) != 0 ? nullptr : std::realloc(block, bytes);
    if (grown == nullptr) {
        static_cast<Source*>(context)->reason = ERROR_NOT_ENOUGH_MEMORY;
    }
    return grown;
}

pixels::Plane Picture(void* context, const pixels::DibFormat& format) {
    auto* source = static_cast<Source*>(context);
    // Read in to be turned: fresh pages serve it faster than a memory file.
    source->section = detail::NewSection(format, false);
    source->reason = source->section == nullptr ? GetLastError() : ERROR_SUCCESS;
    return source->section != nullptr ? source->section->Plane() : pixels::Plane{};
}

HANDLE LoadBmpFile(const char* path) {
    Source source;
    source.file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source.file == INVALID_HANDLE_VALUE) {
        return nullptr;  // the open set the code
    }
    // A pipe or a device has no length to go by.
    std::int64_t length = 0;
    std::optional<std::uint64_t> fileSize;
    if (GetFileSizeEx(source.file, &length) && length > 0) {
        fileSize = static_cast<std::uint64_t>(length);
    }
    pixels::BmpLoader loader;
    pixels::Plane plane;
    const pixels::Status status =
        loader.Load(pixels::BmpReads{&source, Read, Grow, Picture}, fileSize, &plane);
    const DWORD reason =
        status == pixels::Status::kCallerFailed ? source.reason : detail::ErrorFromStatus(status);
    if (status == pixels::Status::kOk) {
        CloseHandle(source.file);
        return source.section;
    }
    DeleteObject(source.section);
    if (fileSize.has_value()) {
        CloseHandle(source.file);
    } else {
        // A stream's bytes cannot be read twice: what was read goes on to
        // the next reading of the same path, with the stream itself.
        std::size_t size = 0;
        bool ended = false;
        std::uint8_t* bytes = loader.Release(&size, &ended);
        detail::KeepStream(path, source.file, bytes, size, ended);
    }
    return detail::Fail(reason, HANDLE{});
}

}  // namespace

// Only BMP files loaded from a path as DIB sections at their own size exist
// here: there are no resources to load from, and no device bitmaps.
HANDLE LoadImageA(HINSTANCE /*instance*/, LPCSTR name, UINT type, int cx, int cy, UINT flags) {
    constexpr UINT kKnownFlags = LR_LOADFROMFILE | LR_VGACOLOR | LR_CREATEDIBSECTION;
    if (name == nullptr || type != IMAGE_BITMAP) {
        return detail::Fail(ERROR_INVALID_PARAMETER, HANDLE{});
    }
    if ((flags & ~kKnownFlags) != 0 || (flags & LR_LOADFROMFILE) == 0 ||
        (flags & LR_CREATEDIBSECTION) == 0 || cx != 0 || cy != 0) {
        return detail::Fail(ERROR_NOT_SUPPORTED, HANDLE{});
    }
    return LoadBmpFile(name);
}

}  // namespace platform
