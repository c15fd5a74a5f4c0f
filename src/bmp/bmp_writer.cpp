#include "bmp/bmp_writer.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "bmp/bmp_layout.h"
#include "pixels/bmp_constants.h"

namespace veerpic {

using namespace platform;

namespace {

constexpr DWORD kOutputFlags = FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL;

// The headers of the file for a bitmap of `record`: the info header with
// its sizes, the colour table's length and the file header. False with the
// code set for a bitmap no file can hold.
bool BuildHeaders(const BITMAP& record, BITMAPFILEHEADER* fileHeader, InfoBlock* info,
                  DWORD* colorBytes) {
    BITMAPINFOHEADER& header = info->header;
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = record.bmWidth;
    header.biHeight = record.bmHeight;
    header.biPlanes = 1;
    header.biBitCount = record.bmBitsPixel;
    header.biCompression = BI_RGB;
    // Depths below 16 bits carry a full colour table; the info block has room
    // for 256 entries, so depths of 9 to 15 bits are refused.
    const unsigned depth = record.bmBitsPixel;
    if (depth > 8 && depth < 16) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    *colorBytes = 4 * (depth < 16 ? (1u << depth) : 0u);
    const std::uint64_t imageSize =
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(record.bmWidthBytes)) *
        static_cast<std::uint32_t>(record.bmHeight);
    const std::uint64_t offBits = pixels::kFileHeaderSize + header.biSize + *colorBytes;
    if (record.bmWidthBytes <= 0 || record.bmHeight <= 0 || offBits + imageSize > 0xFFFFFFFFu) {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        return false;
    }
    header.biSizeImage = static_cast<DWORD>(imageSize);
    fileHeader->bfType = pixels::BMP_SIGNATURE;
    fileHeader->bfOffBits = static_cast<DWORD>(offBits);
    fileHeader->bfSize = static_cast<DWORD>(offBits + imageSize);
    return true;
}

// What the four writes take: the headers, the colour table and the pixels.
struct FileParts {
    const BITMAPFILEHEADER* fileHeader;
    const InfoBlock* info;
    DWORD colorBytes;
    const void* pixels;
    DWORD pixelBytes;
};

// Creates `path` and writes the four parts in order, each only when the one
// before succeeded. ERROR_SUCCESS, or the failing call's code.
DWORD WriteFileParts(const char* path, const FileParts& parts) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              kOutputFlags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD written = 0;
    DWORD reason = ERROR_SUCCESS;
    if (!WriteFile(file, parts.fileHeader, sizeof *parts.fileHeader, &written, nullptr) ||
        !WriteFile(file, &parts.info->header, sizeof parts.info->header, &written, nullptr) ||
        !WriteFile(file, parts.info->colors, parts.colorBytes, &written, nullptr) ||
        !WriteFile(file, parts.pixels, parts.pixelBytes, &written, nullptr)) {
        reason = GetLastError();
    }
    if (!CloseHandle(file) && reason == ERROR_SUCCESS) {
        reason = GetLastError();
    }
    return reason;
}

// Makes a temporary in `folder`, its path in `temp`; false with the code set.
bool TemporaryIn(const std::string& folder, std::string* temp) {
    // The temporary's name may be longer than its folder's by this much.
    temp->assign(folder.size() + 64, '\0');
    if (GetTempFileNameA(folder.c_str(), "vp", 0, temp->data(), static_cast<DWORD>(temp->size())) ==
        0) {
        return false;
    }
    temp->resize(std::strlen(temp->c_str()));
    return true;
}

// Makes the temporary for `path`: beside it, or, where no temporary can be
// made there but the existing output may be written, in the folder for
// temporaries (ReplaceFileA then writes its contents into the output). The
// temporary may have no name in its folder until it takes its place:
// CreateFileA, ReplaceFileA and DeleteFileA reach it by the path given here.
DWORD MakeTemporary(const char* path, DWORD attributes, std::string* temp) {
    std::string folder(path);
    PathRemoveFileSpecA(folder.data());
    folder.resize(std::strlen(folder.c_str()));
    if (TemporaryIn(folder.empty() ? std::string(".") : folder, temp)) {
        return ERROR_SUCCESS;
    }
    const DWORD reason = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return reason;
    }
    std::string tempFolder(GetTempPathA(0, nullptr), '\0');
    if (GetTempPathA(static_cast<DWORD>(tempFolder.size()), tempFolder.data()) == 0) {
        return reason;
    }
    tempFolder.resize(std::strlen(tempFolder.c_str()));
    return TemporaryIn(tempFolder, temp) ? ERROR_SUCCESS : reason;
}

// Writes the file under a new name and then puts it in the place of `path`
// in one step (an existing file keeping its identity), so that a write that
// fails part-way leaves whatever stood at `path` exactly as it was. A device
// or a pipe is written straight: there is no file to keep, and nothing is
// ever deleted.
DWORD WriteOutput(const char* path, const FileParts& parts) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return WriteFileParts(path, parts);
    }
    std::string temp;
    DWORD reason = MakeTemporary(path, attributes, &temp);
    if (reason != ERROR_SUCCESS) {
        return reason;
    }
    reason = WriteFileParts(temp.c_str(), parts);
    const BOOL placed =
        reason != ERROR_SUCCESS
            ? FALSE
            : (attributes != INVALID_FILE_ATTRIBUTES
                   ? ReplaceFileA(path, temp.c_str(), nullptr, REPLACEFILE_WRITE_THROUGH, nullptr,
                                  nullptr)
                   : MoveFileExA(temp.c_str(), path,
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    if (reason == ERROR_SUCCESS && !placed) {
        reason = GetLastError();
    }
    if (reason != ERROR_SUCCESS) {
        DeleteFileA(temp.c_str());
    }
    return reason;
}

}  // namespace

BOOL SaveBitmapFile(const char* path, HBITMAP bitmap) {
    BITMAP record{};
    if (GetObjectA(bitmap, sizeof record, &record) == 0) {
        return FALSE;  // a null bitmap ends here: the output is not touched
    }
    BITMAPFILEHEADER fileHeader{};
    InfoBlock info{};
    DWORD colorBytes = 0;
    if (!BuildHeaders(record, &fileHeader, &info, &colorBytes)) {
        return FALSE;
    }

    const DWORD pixelCapacity = info.header.biSizeImage;
    void* pixels = HeapAlloc(GetProcessHeap(), 0, pixelCapacity);
    if (pixels == nullptr) {
        return FALSE;
    }
    HDC dc = CreateCompatibleDC(nullptr);
    if (dc == nullptr) {
        const DWORD reason = GetLastError();
        HeapFree(GetProcessHeap(), 0, pixels);
        SetLastError(reason);
        return FALSE;
    }
    if (GetDIBits(dc, bitmap, 0, static_cast<UINT>(record.bmHeight), pixels,
                  reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, pixelCapacity,
                  sizeof info) == 0) {
        const DWORD reason = GetLastError();
        DeleteDC(dc);
        HeapFree(GetProcessHeap(), 0, pixels);
        SetLastError(reason);
        return FALSE;
    }

    // The pixel write never reaches past the block, whatever the transfer
    // left in biSizeImage.
    const DWORD pixelBytes =
        info.header.biSizeImage < pixelCapacity ? info.header.biSizeImage : pixelCapacity;
    DWORD reason = ERROR_NOT_ENOUGH_MEMORY;  // where the path cannot be copied
    try {
        reason = WriteOutput(path, FileParts{&fileHeader, &info, colorBytes, pixels, pixelBytes});
    } catch (const std::bad_alloc&) {
    }

    DeleteDC(dc);
    HeapFree(GetProcessHeap(), 0, pixels);
    SetLastError(reason);
    return reason == ERROR_SUCCESS ? TRUE : FALSE;
}

}  // namespace veerpic
