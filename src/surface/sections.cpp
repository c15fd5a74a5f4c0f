// Bitmap sections: the table of those alive, making and deleting them,
// converting rows into and out of them, their record, and copies.
#include <algorithm>
#include <cstring>
#include <span>

#include "pixels/row_codec.h"
#include "surface/services.h"
#include "surface/testing.h"

namespace platform {

namespace pixels = veerpic::pixels;
using detail::AsBitmap;
using detail::AsDc;

namespace {

detail::LiveSet bitmaps;

// The description at `info`, `infoSize` bytes long, judged into `format`;
// false with the last-error code set when it is refused.
bool Describe(const BITMAPINFO* info, DWORD infoSize, pixels::DibFormat* format,
              DWORD* compression) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(info);
    const pixels::Status status =
        pixels::DescribeDib(std::span<const std::uint8_t>(bytes, infoSize), format, compression);
    if (status != pixels::Status::kOk) {
        return detail::Fail(detail::ErrorFromStatus(status), false);
    }
    return true;
}

// Checks GetDIBits' arguments against the bitmap; false with the code set.
bool CheckGetDIBits(const GdiBitmap* source, HDC dc, const BITMAPINFO* info, UINT usage,
                    DWORD infoSize) {
    if (source == nullptr || AsDc(dc) == nullptr || info == nullptr || usage != DIB_RGB_COLORS ||
        infoSize < sizeof(BITMAPINFOHEADER) || source->selectedInto != nullptr) {
        return detail::Fail(ERROR_INVALID_PARAMETER, false);
    }
    const pixels::DibFormat& f = source->format;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biBitCount != f.bitCount ||
        h.biCompression != BI_RGB || h.biWidth != f.width || h.biHeight == 0 ||
        h.biHeight == INT32_MIN) {
        return detail::Fail(ERROR_INVALID_PARAMETER, false);
    }
    const std::uint32_t colorEntries = f.bitCount <= 8 ? (1u << f.bitCount) : 0u;
    if (colorEntries != 0 && infoSize < sizeof(BITMAPINFOHEADER) + 4 * colorEntries) {
        return detail::Fail(ERROR_INSUFFICIENT_BUFFER, false);
    }
    return true;
}

// Fills in the header's sizes and the full colour table after it, black past
// the bitmap's own entries.
void DescribeForGetDIBits(const pixels::DibFormat& f, BITMAPINFO* info) {
    BITMAPINFOHEADER& h = info->bmiHeader;
    h.biSizeImage = f.stride * static_cast<std::uint32_t>(f.height);
    h.biClrUsed = 0;
    h.biClrImportant = 0;
    const std::uint32_t colorEntries = f.bitCount <= 8 ? (1u << f.bitCount) : 0u;
    auto* table = reinterpret_cast<RGBQUAD*>(reinterpret_cast<std::uint8_t*>(info) +
                                             sizeof(BITMAPINFOHEADER));
    for (std::uint32_t i = 0; i < colorEntries; ++i) {
        table[i] = i < f.colorCount ? f.colors[i] : RGBQUAD{};
    }
}

}  // namespace

namespace detail {

DWORD ErrorFromStatus(pixels::Status status) {
    switch (status) {
        case pixels::Status::kOk:
            return ERROR_SUCCESS;
        case pixels::Status::kInvalidData:
            return ERROR_INVALID_DATA;
        case pixels::Status::kOutOfMemory:
            return ERROR_NOT_ENOUGH_MEMORY;
        case pixels::Status::kTooLarge:
            return ERROR_NOT_SUPPORTED;
        case pixels::Status::kInvalidParameter:
        case pixels::Status::kCallerFailed:
            break;
    }
    return ERROR_INVALID_PARAMETER;
}

GdiBitmap* AsBitmap(const void* object) {
    return bitmaps.Has(object) ? static_cast<GdiBitmap*>(const_cast<void*>(object)) : nullptr;
}

long LiveBitmaps() {
    return bitmaps.Count();
}

HBITMAP NewSection(const pixels::DibFormat& format, bool viewable) {
    pixels::DibFormat f = format;
    std::uint32_t imageSize = 0;
    if (!pixels::DibRowAndImageSize(f.width, f.height, f.bitCount, &f.stride, &imageSize)) {
        return detail::Fail(ERROR_INVALID_PARAMETER, HBITMAP{});
    }
    auto* bitmap =
        InjectedFault(SystemCall::kAllocate) != 0 ? nullptr : new (std::nothrow) GdiBitmap;
    if (bitmap != nullptr && !AllocateSectionBits(imageSize, viewable, &bitmap->pixels)) {
        ReleaseSectionBits(bitmap->pixels);
        delete bitmap;
        bitmap = nullptr;
    }
    if (bitmap == nullptr || !bitmaps.Add(bitmap)) {
        if (bitmap != nullptr) {
            ReleaseSectionBits(bitmap->pixels);
        }
        delete bitmap;
        return detail::Fail(ERROR_NOT_ENOUGH_MEMORY, HBITMAP{});
    }
    bitmap->format = f;
    return bitmap;
}

}  // namespace detail

BOOL DeleteObject(HGDIOBJ object) {
    GdiBitmap* bitmap = AsBitmap(object);
    if (bitmap == nullptr) {
        if (object != nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
        }
        return FALSE;
    }
    if (bitmap->selectedInto != nullptr) {
        return FALSE;  // a bitmap selected into a DC cannot be deleted
    }
    bitmaps.Remove(bitmap);
    detail::ReleaseSectionBits(bitmap->pixels);
    delete bitmap;
    return TRUE;
}

LiveCounts GetLiveCounts() {
    return LiveCounts{detail::LiveBitmaps(), detail::LiveDcs(), detail::LiveHeapBlocks(),
                      detail::LiveFiles(), detail::PendingTemporaries()};
}

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                         DWORD offset, DWORD infoSize) {
    (void)offset;
    if (info == nullptr || usage != DIB_RGB_COLORS || section != nullptr ||
        (dc != nullptr && AsDc(dc) == nullptr)) {
        return detail::Fail(ERROR_INVALID_PARAMETER, nullptr);
    }
    pixels::DibFormat format;
    DWORD compression = BI_RGB;
    if (!Describe(info, infoSize, &format, &compression)) {
        return nullptr;
    }
    HBITMAP bitmap = detail::NewSection(format);
    if (bitmap != nullptr && bits != nullptr) {
        *bits = bitmap->pixels.bits;
    }
    return bitmap;
}

int SetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, const void* bits,
              const BITMAPINFO* info, UINT usage, DWORD bitsSize, DWORD infoSize) {
    GdiBitmap* target = AsBitmap(bitmap);
    if (target == nullptr || bits == nullptr || info == nullptr || usage != DIB_RGB_COLORS ||
        (dc != nullptr && AsDc(dc) == nullptr)) {
        return detail::Fail(ERROR_INVALID_PARAMETER, 0);
    }
    pixels::DibFormat source;
    DWORD compression = BI_RGB;
    if (!Describe(info, infoSize, &source, &compression)) {
        return 0;
    }
    if (start >= static_cast<UINT>(target->format.height) || lines == 0) {
        return detail::Fail(ERROR_INVALID_PARAMETER, 0);
    }
    // A block shorter than the rows asked for is no failure: the rows it does
    // not hold keep what the section had (black, in a new section). One that
    // leaves out most of a large picture is refused.
    std::uint64_t supplied = 0;
    const int converted = pixels::ConvertRows(
        target->Plane(), source, compression, start, lines,
        std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bits), bitsSize), &supplied);
    if (converted < 0) {
        return detail::Fail(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    if (!pixels::RowsSupplyEnough(target->format, source, start, lines, supplied)) {
        return detail::Fail(ERROR_INVALID_DATA, 0);
    }
    const UINT available = static_cast<UINT>(target->format.height) - start;
    return static_cast<int>(lines < available ? lines : available);
}

int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage, DWORD bitsSize, DWORD infoSize) {
    GdiBitmap* source = AsBitmap(bitmap);
    if (!CheckGetDIBits(source, dc, info, usage, infoSize)) {
        return 0;
    }
    const pixels::DibFormat& f = source->format;
    DescribeForGetDIBits(f, info);
    if (bits == nullptr) {
        return static_cast<int>(f.height);  // asked for the format only
    }
    if (start >= static_cast<UINT>(f.height)) {
        return detail::Fail(ERROR_INVALID_PARAMETER, 0);
    }
    const UINT available = static_cast<UINT>(f.height) - start;
    const UINT count = std::min({lines, available, static_cast<UINT>(bitsSize / f.stride)});
    if (count == 0) {
        return detail::Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    const bool bottomUp = info->bmiHeader.biHeight > 0;
    // The whole picture, asked for as it lies in the section: the block
    // becomes a copy-on-write view of the section's pixels, no copy made.
    if (start == 0 && count == static_cast<UINT>(f.height) && bottomUp != f.topDown &&
        pixels::SameLayout(f, pixels::RgbLayoutOf(f)) && pixels::RowEndsClear(source->Plane()) &&
        detail::ViewInto(bits, source->pixels)) {
        return static_cast<int>(count);
    }
    if (!pixels::ExportRows(source->Plane(), start, count, bottomUp,
                            static_cast<std::uint8_t*>(bits))) {
        return detail::Fail(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    return static_cast<int>(count);
}

int GetObjectA(HANDLE object, int size, void* out) {
    GdiBitmap* bitmap = AsBitmap(object);
    if (bitmap == nullptr) {
        return detail::Fail(ERROR_INVALID_HANDLE, 0);
    }
    if (out == nullptr) {
        return static_cast<int>(sizeof(BITMAP));
    }
    if (size < static_cast<int>(sizeof(BITMAP))) {
        return detail::Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    const pixels::DibFormat& f = bitmap->format;
    const BITMAP record{0, f.width,    f.height,           static_cast<LONG>(f.stride),
                        1, f.bitCount, bitmap->pixels.bits};
    std::memcpy(out, &record, sizeof record);
    return static_cast<int>(sizeof(BITMAP));
}

HANDLE CopyImage(HANDLE image, UINT type, int cx, int cy, UINT flags) {
    GdiBitmap* source = AsBitmap(image);
    if (source == nullptr || type != IMAGE_BITMAP) {
        return detail::Fail(ERROR_INVALID_HANDLE, nullptr);
    }
    if (cx != 0 || cy != 0 || (flags & ~LR_CREATEDIBSECTION) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);  // only same-size section copies are made here
        return nullptr;
    }
    HBITMAP copy = detail::NewSection(source->format);
    if (copy == nullptr) {
        return nullptr;
    }
    if (pixels::CopyPicture(source->Plane(), copy->Plane()) < 0) {
        DeleteObject(copy);
        return detail::Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    return copy;
}

}  // namespace platform
