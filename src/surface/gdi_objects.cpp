// Bitmap sections and memory device contexts: the object table, the section
// calls and the DC calls.
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "surface/dib.h"
#include "surface/pixel_masks.h"

namespace platform {

namespace {

// Every live bitmap and DC, so that a handle that is not one of ours (or no
// longer alive) is refused rather than followed.
struct ObjectTable {
    std::mutex lock;
    std::unordered_set<const void*> bitmaps;
    std::unordered_set<const void*> dcs;
};

ObjectTable& Objects() {
    static ObjectTable table;
    return table;
}

}  // namespace

namespace detail {

bool DibRowAndImageSize(std::int64_t width, std::int64_t height, unsigned bitCount,
                        std::uint32_t* stride, std::uint32_t* imageSize) {
    if (width <= 0 || height <= 0 || bitCount == 0 || bitCount > 32 || width > 0x7FFFFFFF ||
        height > 0x7FFFFFFF) {
        return false;
    }
    const std::uint64_t rowBits = static_cast<std::uint64_t>(width) * bitCount;  // < 2^37
    const std::uint64_t row = ((rowBits + 31) / 32) * 4;
    if (row > 0xFFFFFFFFu) {
        return false;
    }
    // The picture plus the largest header and colour table must still fit the
    // file's 32-bit size field.
    constexpr std::uint64_t kMaxImage = 0xFFFFFFFFu - (14 + 40 + 256 * 4);
    if (row > kMaxImage / static_cast<std::uint64_t>(height)) {
        return false;
    }
    *stride = static_cast<std::uint32_t>(row);
    *imageSize = static_cast<std::uint32_t>(row * static_cast<std::uint64_t>(height));
    return true;
}

bool IsLiveBitmap(const void* object) {
    if (object == nullptr) {
        return false;
    }
    ObjectTable& t = Objects();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.bitmaps.count(object) != 0;
}

bool IsLiveDc(const void* object) {
    if (object == nullptr) {
        return false;
    }
    ObjectTable& t = Objects();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.dcs.count(object) != 0;
}

HBITMAP NewSection(const DibFormat& format) {
    DibFormat f = format;
    std::uint32_t imageSize = 0;
    if (!DibRowAndImageSize(f.width, f.height, f.bitCount, &f.stride, &imageSize)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* bitmap = new (std::nothrow) GdiBitmap;
    if (bitmap == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // calloc: large sections come zeroed from the system without being touched.
    bitmap->bits.reset(static_cast<std::uint8_t*>(std::calloc(imageSize, 1)));
    if (bitmap->bits == nullptr) {
        delete bitmap;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    bitmap->format = f;
    bitmap->size = imageSize;
    ObjectTable& t = Objects();
    std::lock_guard<std::mutex> guard(t.lock);
    t.bitmaps.insert(bitmap);
    return bitmap;
}

void ReadRowBgrx(const GdiBitmap& bitmap, std::int32_t y, std::uint8_t* out) {
    const DibFormat& f = bitmap.format;
    const std::uint8_t* row = bitmap.RowFromTop(y);
    const std::int32_t w = f.width;
    auto putIndex = [&](std::int32_t x, unsigned index) {
        static constexpr RGBQUAD kBlack{};
        const RGBQUAD& c = index < f.colorCount ? f.colors[index] : kBlack;
        out[4 * x + 0] = c.rgbBlue;
        out[4 * x + 1] = c.rgbGreen;
        out[4 * x + 2] = c.rgbRed;
        out[4 * x + 3] = 0;
    };
    switch (f.bitCount) {
        case 1:
            for (std::int32_t x = 0; x < w; ++x) {
                putIndex(x, (row[x >> 3] >> (7 - (x & 7))) & 1u);
            }
            break;
        case 4:
            for (std::int32_t x = 0; x < w; ++x) {
                putIndex(x, (x & 1) ? (row[x >> 1] & 0x0Fu) : (row[x >> 1] >> 4));
            }
            break;
        case 8:
            for (std::int32_t x = 0; x < w; ++x) {
                putIndex(x, row[x]);
            }
            break;
        case 24:
            for (std::int32_t x = 0; x < w; ++x) {
                out[4 * x + 0] = row[3 * x + 0];
                out[4 * x + 1] = row[3 * x + 1];
                out[4 * x + 2] = row[3 * x + 2];
                out[4 * x + 3] = 0;
            }
            break;
        case 16:
        case 32: {
            const MaskChannel r = AnalyseMask(f.redMask);
            const MaskChannel g = AnalyseMask(f.greenMask);
            const MaskChannel b = AnalyseMask(f.blueMask);
            for (std::int32_t x = 0; x < w; ++x) {
                std::uint32_t pixel;
                if (f.bitCount == 16) {
                    pixel = static_cast<std::uint32_t>(row[2 * x] | (row[2 * x + 1] << 8));
                } else {
                    std::memcpy(&pixel, row + 4 * x, 4);
                }
                out[4 * x + 0] = WidenChannel(pixel, b);
                out[4 * x + 1] = WidenChannel(pixel, g);
                out[4 * x + 2] = WidenChannel(pixel, r);
                out[4 * x + 3] = 0;
            }
            break;
        }
        default:
            std::memset(out, 0, static_cast<std::size_t>(w) * 4);
            break;
    }
}

}  // namespace detail

namespace {

GdiBitmap* AsBitmap(const void* object) {
    return detail::IsLiveBitmap(object) ? static_cast<GdiBitmap*>(const_cast<void*>(object))
                                        : nullptr;
}

GdiDc* AsDc(const void* object) {
    return detail::IsLiveDc(object) ? static_cast<GdiDc*>(const_cast<void*>(object)) : nullptr;
}

}  // namespace

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                         DWORD offset, DWORD infoSize) {
    (void)offset;
    if (info == nullptr || usage != DIB_RGB_COLORS || section != nullptr ||
        (dc != nullptr && AsDc(dc) == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    detail::DibFormat format;
    DWORD compression = BI_RGB;
    DWORD error = ERROR_INVALID_PARAMETER;
    if (!detail::DescribeDib(info, infoSize, &format, &compression, &error)) {
        SetLastError(error);
        return nullptr;
    }
    HBITMAP bitmap = detail::NewSection(format);
    if (bitmap != nullptr && bits != nullptr) {
        *bits = bitmap->bits.get();
    }
    return bitmap;
}

int SetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, const void* bits,
              const BITMAPINFO* info, UINT usage, DWORD bitsSize, DWORD infoSize) {
    GdiBitmap* target = AsBitmap(bitmap);
    if (target == nullptr || bits == nullptr || info == nullptr || usage != DIB_RGB_COLORS ||
        (dc != nullptr && AsDc(dc) == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    detail::DibFormat source;
    DWORD compression = BI_RGB;
    DWORD error = ERROR_INVALID_PARAMETER;
    if (!detail::DescribeDib(info, infoSize, &source, &compression, &error)) {
        SetLastError(error);
        return 0;
    }
    if (start >= static_cast<UINT>(target->format.height) || lines == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A block shorter than the rows asked for is no failure: the rows it does
    // not hold keep what the section had (black, in a new section).
    detail::ConvertIntoSection(*target, source, compression, start, lines,
                               static_cast<const std::uint8_t*>(bits), bitsSize);
    const UINT available = static_cast<UINT>(target->format.height) - start;
    return static_cast<int>(lines < available ? lines : available);
}

int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage, DWORD bitsSize, DWORD infoSize) {
    GdiBitmap* source = AsBitmap(bitmap);
    if (source == nullptr || AsDc(dc) == nullptr || info == nullptr || usage != DIB_RGB_COLORS ||
        infoSize < sizeof(BITMAPINFOHEADER) || source->selectedInto != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const detail::DibFormat& f = source->format;
    BITMAPINFOHEADER& h = info->bmiHeader;
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biBitCount != f.bitCount ||
        h.biCompression != BI_RGB || h.biWidth != f.width || h.biHeight == 0 ||
        h.biHeight == INT32_MIN) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::uint32_t colorEntries = f.bitCount <= 8 ? (1u << f.bitCount) : 0u;
    if (colorEntries != 0 && infoSize < sizeof(BITMAPINFOHEADER) + 4 * colorEntries) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const bool bottomUp = h.biHeight > 0;
    const std::uint32_t stride = f.stride;
    h.biSizeImage = f.stride * static_cast<std::uint32_t>(f.height);
    h.biClrUsed = 0;
    h.biClrImportant = 0;
    if (colorEntries != 0) {
        // The colour table goes right after the header, full length, black past
        // the bitmap's own entries.
        auto* table = reinterpret_cast<RGBQUAD*>(reinterpret_cast<std::uint8_t*>(info) +
                                                 sizeof(BITMAPINFOHEADER));
        for (std::uint32_t i = 0; i < colorEntries; ++i) {
            table[i] = i < f.colorCount ? f.colors[i] : RGBQUAD{};
        }
    }
    if (bits == nullptr) {
        return static_cast<int>(f.height);  // asked for the format only
    }
    if (start >= static_cast<UINT>(f.height)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const UINT available = static_cast<UINT>(f.height) - start;
    UINT count = lines < available ? lines : available;
    if (bitsSize / stride < count) {
        count = bitsSize / stride;
    }
    if (count == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    auto* outBase = static_cast<std::uint8_t*>(bits);
    const bool plainCopy = (f.bitCount != 16 && f.bitCount != 32) || detail::HasRgbLayout(f);
    std::unique_ptr<std::uint8_t[]> bgrx;
    if (!plainCopy) {
        bgrx.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(f.width) * 4]);
        if (!bgrx) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
    }
    for (UINT i = 0; i < count; ++i) {
        // Output row i holds picture row (start + i) counted from the bottom.
        const std::int32_t fromBottom = static_cast<std::int32_t>(start + i);
        const std::int32_t fromTop = f.height - 1 - fromBottom;
        const std::int32_t outRow =
            bottomUp ? static_cast<std::int32_t>(i) : static_cast<std::int32_t>(count - 1 - i);
        std::uint8_t* out = outBase + static_cast<std::size_t>(outRow) * stride;
        const std::uint8_t* in = source->RowFromTop(fromTop);
        if (plainCopy) {
            std::memcpy(out, in, stride);
            continue;
        }
        detail::ReadRowBgrx(*source, fromTop, bgrx.get());
        std::memset(out, 0, stride);
        for (std::int32_t x = 0; x < f.width; ++x) {
            const std::uint8_t* p = bgrx.get() + 4 * x;
            if (f.bitCount == 16) {
                const unsigned v =
                    static_cast<unsigned>(((p[2] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[0] >> 3));
                out[2 * x] = static_cast<std::uint8_t>(v);
                out[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
            } else {
                out[4 * x + 0] = p[0];
                out[4 * x + 1] = p[1];
                out[4 * x + 2] = p[2];
                out[4 * x + 3] = 0;
            }
        }
    }
    return static_cast<int>(count);
}

int GetObjectA(HANDLE object, int size, void* out) {
    GdiBitmap* bitmap = AsBitmap(object);
    if (bitmap == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (out == nullptr) {
        return static_cast<int>(sizeof(BITMAP));
    }
    if (size < static_cast<int>(sizeof(BITMAP))) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    BITMAP record{};
    record.bmType = 0;
    record.bmWidth = bitmap->format.width;
    record.bmHeight = bitmap->format.height;
    record.bmWidthBytes = static_cast<LONG>(bitmap->format.stride);
    record.bmPlanes = 1;
    record.bmBitsPixel = bitmap->format.bitCount;
    record.bmBits = bitmap->bits.get();
    std::memcpy(out, &record, sizeof record);
    return static_cast<int>(sizeof(BITMAP));
}

HANDLE CopyImage(HANDLE image, UINT type, int cx, int cy, UINT flags) {
    GdiBitmap* source = AsBitmap(image);
    if (source == nullptr || type != IMAGE_BITMAP) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (cx != 0 || cy != 0 || (flags & ~LR_CREATEDIBSECTION) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);  // only same-size section copies are made here
        return nullptr;
    }
    HBITMAP copy = detail::NewSection(source->format);
    if (copy != nullptr) {
        std::memcpy(copy->bits.get(), source->bits.get(), source->size);
    }
    return copy;
}

HDC CreateCompatibleDC(HDC dc) {
    if (dc != nullptr && AsDc(dc) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto* created = new (std::nothrow) GdiDc;
    if (created == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ObjectTable& t = Objects();
    std::lock_guard<std::mutex> guard(t.lock);
    t.dcs.insert(created);
    return created;
}

// The stock object a new DC holds before a bitmap is selected into it.
static int stockBitmapTag;

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    GdiDc* target = AsDc(dc);
    if (target == nullptr || object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HGDIOBJ previous = target->selected != nullptr ? static_cast<HGDIOBJ>(target->selected)
                                                   : static_cast<HGDIOBJ>(&stockBitmapTag);
    if (object == &stockBitmapTag) {
        if (target->selected != nullptr) {
            target->selected->selectedInto = nullptr;
        }
        target->selected = nullptr;
        return previous;
    }
    GdiBitmap* bitmap = AsBitmap(object);
    if (bitmap == nullptr || (bitmap->selectedInto != nullptr && bitmap->selectedInto != target)) {
        SetLastError(ERROR_INVALID_PARAMETER);  // a bitmap sits in one DC at a time
        return nullptr;
    }
    if (target->selected != nullptr) {
        target->selected->selectedInto = nullptr;
    }
    bitmap->selectedInto = target;
    target->selected = bitmap;
    return previous;
}

int SetStretchBltMode(HDC dc, int mode) {
    GdiDc* target = AsDc(dc);
    if (target == nullptr || mode < BLACKONWHITE || mode > HALFTONE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int previous = target->stretchMode;
    target->stretchMode = mode;
    return previous;
}

BOOL PlgBlt(HDC dest, const POINT* points, HDC source, int xSrc, int ySrc, int width, int height,
            HBITMAP mask, int xMask, int yMask) {
    (void)xMask;
    (void)yMask;
    GdiDc* to = AsDc(dest);
    GdiDc* from = AsDc(source);
    if (to == nullptr || from == nullptr || points == nullptr || mask != nullptr ||
        to->selected == nullptr || from->selected == nullptr || width <= 0 || height <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const GdiBitmap& src = *from->selected;
    if (xSrc < 0 || ySrc < 0 || xSrc > src.format.width - width ||
        ySrc > src.format.height - height) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Only the halftone transfer is implemented; it is what the tool asks for.
    if (to->stretchMode != HALFTONE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    detail::HalftoneParallelogram(*to->selected, points, src, xSrc, ySrc, width, height);
    return TRUE;
}

BOOL DeleteDC(HDC dc) {
    GdiDc* target = AsDc(dc);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (target->selected != nullptr) {
        target->selected->selectedInto = nullptr;
    }
    {
        ObjectTable& t = Objects();
        std::lock_guard<std::mutex> guard(t.lock);
        t.dcs.erase(target);
    }
    delete target;
    return TRUE;
}

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
    {
        ObjectTable& t = Objects();
        std::lock_guard<std::mutex> guard(t.lock);
        t.bitmaps.erase(bitmap);
    }
    delete bitmap;
    return TRUE;
}

namespace detail {
long LiveHeapBlocks();
long LiveFiles();
}  // namespace detail

LiveCounts GetLiveCounts() {
    LiveCounts counts{};
    {
        ObjectTable& t = Objects();
        std::lock_guard<std::mutex> guard(t.lock);
        counts.bitmaps = static_cast<long>(t.bitmaps.size());
        counts.dcs = static_cast<long>(t.dcs.size());
    }
    counts.heapBlocks = detail::LiveHeapBlocks();
    counts.files = detail::LiveFiles();
    return counts;
}

}  // namespace platform
