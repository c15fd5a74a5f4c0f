#include "bmp/bmp_reader.h"

#include <cstdint>
#include <cstring>

#include "bmp/bmp_layout.h"
#include "pixels/bmp_constants.h"
#include "pixels/byte_order.h"
#include "pixels/pixel_supply.h"

namespace veerpic {

using namespace platform;
using pixels::kCoreHeaderSize;
using pixels::kFileHeaderSize;
using pixels::kInfoHeaderSize;
using pixels::LoadI32;
using pixels::LoadU16;
using pixels::LoadU32;

namespace {

// Whether the file supplies enough of the picture the info block declares
// from its `present` bytes of pixel data, by the rule every reader of the
// tool judges by. Decided from the header alone, before anything is
// allocated: for a compressed stream, by the most its bytes can stand for
// (the platform's transfer judges what they do stand for). A header the
// section creation will refuse anyway passes here.
bool InProportion(const InfoBlock& info, DWORD infoBytes, std::uint64_t present) {
    // The fields are read from the block's bytes: the two header layouts
    // place them differently.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
    const DWORD headerSize = LoadU32(bytes);
    std::int64_t width = 0;
    std::int64_t height = 0;
    unsigned bitCount = 0;
    DWORD compression = BI_RGB;
    if (infoBytes >= kCoreHeaderSize && headerSize == kCoreHeaderSize) {  // OS/2 1.x
        width = LoadU16(bytes + 4);
        height = LoadU16(bytes + 6);
        bitCount = LoadU16(bytes + 10);
    } else if (infoBytes >= 16) {
        width = LoadI32(bytes + 4);
        const std::int64_t h = LoadI32(bytes + 8);
        height = h < 0 ? -h : h;
        bitCount = LoadU16(bytes + 14);
        compression =
            infoBytes >= 20 && headerSize >= kInfoHeaderSize ? LoadU32(bytes + 16) : BI_RGB;
    }
    if (width <= 0 || height <= 0 || bitCount == 0 || bitCount > 32) {
        return true;
    }
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    return pixels::SuppliesEnough(w, h,
                                  compression == BI_RLE8 || compression == BI_RLE4
                                      ? pixels::kRlePixelsPerByte * present
                                      : pixels::PixelsInRows(w, bitCount, present));
}

// The size of the pixel block: bfSize - bfOffBits, but never more than the
// file really holds past the pixel offset.
DWORD PixelBlockBytes(HANDLE file, const BITMAPFILEHEADER& fileHeader) {
    DWORD bytes = fileHeader.bfSize - fileHeader.bfOffBits;
    std::int64_t fileSize = 0;
    if (GetFileSizeEx(file, &fileSize)) {
        const std::int64_t present =
            fileSize > fileHeader.bfOffBits ? fileSize - fileHeader.bfOffBits : 0;
        if (present < bytes) {
            bytes = static_cast<DWORD>(present);
        }
    }
    return bytes;
}

UINT AbsoluteHeight(LONG height) {
    return height < 0 ? 0u - static_cast<UINT>(height) : static_cast<UINT>(height);
}

}  // namespace

bool BmpFileHeaderPasses(const BITMAPFILEHEADER& fh) {
    return fh.bfType == pixels::BMP_SIGNATURE && fh.bfReserved1 == 0 && fh.bfReserved2 == 0 &&
           fh.bfSize > fh.bfOffBits && fh.bfOffBits > kFileHeaderSize &&
           fh.bfOffBits <= pixels::kLargestPixelOffset;
}

// The platform's loader knows every well-formed variant; what it refuses gets
// a thinner, header-checked reading. A pipe the loader read and refused opens
// for that reading as the same stream again, the bytes the loader read given
// first (a name the file services keep for it).
HBITMAP LoadBitmapFile(const char* path) {
    HANDLE loaded = LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0,
                               LR_LOADFROMFILE | LR_VGACOLOR | LR_CREATEDIBSECTION);
    if (loaded != nullptr) {
        return static_cast<HBITMAP>(loaded);
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // Header and blocks start cleared: a file shorter than it claims reads as
    // if the missing bytes were zero.
    BITMAPFILEHEADER fileHeader{};
    InfoBlock info{};
    DWORD got = 0;
    DWORD reason = ERROR_SUCCESS;
    void* pixels = nullptr;
    DWORD pixelBytes = 0;
    if (!ReadFile(file, &fileHeader, kFileHeaderSize, &got, nullptr)) {
        reason = GetLastError();
    } else if (!BmpFileHeaderPasses(fileHeader)) {
        reason = ERROR_INVALID_DATA;
    } else if ((pixels = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                   pixelBytes = PixelBlockBytes(file, fileHeader))) == nullptr) {
        reason = GetLastError();
    } else if (!ReadFile(file, &info, fileHeader.bfOffBits - kFileHeaderSize, &got, nullptr) ||
               !ReadFile(file, pixels, pixelBytes, &got, nullptr)) {
        reason = GetLastError();
        HeapFree(GetProcessHeap(), 0, pixels);
        pixels = nullptr;
    }
    CloseHandle(file);
    const DWORD infoBytes = fileHeader.bfOffBits - kFileHeaderSize;
    if (pixels != nullptr && !InProportion(info, infoBytes, pixelBytes)) {
        reason = ERROR_INVALID_DATA;
        HeapFree(GetProcessHeap(), 0, pixels);
        pixels = nullptr;
    }
    if (pixels == nullptr) {
        SetLastError(reason);
        return nullptr;
    }
    const auto* description = reinterpret_cast<const BITMAPINFO*>(&info);
    void* sectionBits = nullptr;
    HBITMAP section =
        CreateDIBSection(nullptr, description, DIB_RGB_COLORS, &sectionBits, nullptr, 0, infoBytes);
    if (section == nullptr) {
        reason = GetLastError();
    } else if (SetDIBits(nullptr, section, 0, AbsoluteHeight(info.header.biHeight), pixels,
                         description, DIB_RGB_COLORS, pixelBytes, infoBytes) == 0) {
        reason = GetLastError();
        DeleteObject(section);
        section = nullptr;
    }
    HeapFree(GetProcessHeap(), 0, pixels);
    SetLastError(section != nullptr ? ERROR_SUCCESS : reason);
    return section;
}

}  // namespace veerpic
