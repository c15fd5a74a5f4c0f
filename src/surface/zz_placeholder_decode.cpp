// PLACEHOLDER (decode branch only): minimal stand-ins for the surface registry,
// section creation, GetObjectA/DeleteObject, the last-error code, and the
// driver's routines, so that the library links while the real pieces are
// written elsewhere. This file is deleted before the branch is merged.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "cli/angle_text.h"
#include "rotate/rotate.h"
#include "surface/dib.h"
#include "surface/pixel_masks.h"

namespace platform {
namespace {
thread_local DWORD g_lastError = 0;
std::unordered_set<const void*>& Bitmaps() {
    static std::unordered_set<const void*> set;
    return set;
}
}  // namespace

DWORD GetLastError() {
    return g_lastError;
}
void SetLastError(DWORD code) {
    g_lastError = code;
}
DWORD MapErrno(int err) {
    switch (err) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

int GetObjectA(HANDLE object, int size, void* out) {
    if (!detail::IsLiveBitmap(object) || out == nullptr ||
        size < static_cast<int>(sizeof(BITMAP))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto* b = static_cast<const GdiBitmap*>(object);
    BITMAP bm{};
    bm.bmWidth = b->format.width;
    bm.bmHeight = b->format.topDown ? -b->format.height : b->format.height;
    bm.bmWidthBytes = static_cast<LONG>(b->format.stride);
    bm.bmPlanes = 1;
    bm.bmBitsPixel = b->format.bitCount;
    bm.bmBits = b->bits.get();
    std::memcpy(out, &bm, sizeof bm);
    return static_cast<int>(sizeof bm);
}

BOOL DeleteObject(HGDIOBJ object) {
    if (!detail::IsLiveBitmap(object)) {
        return FALSE;
    }
    Bitmaps().erase(object);
    delete static_cast<GdiBitmap*>(object);
    return TRUE;
}

LiveCounts GetLiveCounts() {
    return {static_cast<long>(Bitmaps().size()), 0, 0, 0};
}

namespace detail {

bool DibRowAndImageSize(std::int64_t width, std::int64_t height, unsigned bitCount,
                        std::uint32_t* stride, std::uint32_t* imageSize) {
    if (width <= 0 || height <= 0 || bitCount == 0 || bitCount > 32) {
        return false;
    }
    const std::uint64_t row = ((static_cast<std::uint64_t>(width) * bitCount + 31) / 32) * 4;
    if (row > 0xFFFFFFFFu || row * static_cast<std::uint64_t>(height) > 0xFFFFFFFFu) {
        return false;
    }
    *stride = static_cast<std::uint32_t>(row);
    *imageSize = static_cast<std::uint32_t>(row * static_cast<std::uint64_t>(height));
    return true;
}

bool IsLiveBitmap(const void* object) {
    return object != nullptr && Bitmaps().count(object) != 0;
}
bool IsLiveDc(const void*) {
    return false;
}

HBITMAP NewSection(const DibFormat& format) {
    std::uint32_t stride = 0, size = 0;
    if (!DibRowAndImageSize(format.width, format.height, format.bitCount, &stride, &size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* b = new GdiBitmap;
    b->format = format;
    b->format.stride = stride;
    b->bits.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
    b->size = size;
    if (b->bits == nullptr) {
        delete b;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Bitmaps().insert(b);
    return b;
}

void ReadRowBgrx(const GdiBitmap&, std::int32_t, std::uint8_t*) {}

}  // namespace detail
}  // namespace platform

namespace veerpic {
platform::HBITMAP LoadBitmapFile(const char*) {
    return nullptr;
}
double ParseAngleText(const char*) {
    return 0.0;
}
platform::HBITMAP RotateBitmap(platform::HBITMAP, double) {
    return nullptr;
}
platform::BOOL SaveBitmapFile(const char*, platform::HBITMAP) {
    return 0;
}
}  // namespace veerpic
