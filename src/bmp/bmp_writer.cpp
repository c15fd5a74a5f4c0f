#include "bmp/bmp_writer.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "bmp/bmp_layout.h"

namespace veerpic {

using namespace platform;

namespace {

constexpr DWORD kOutputFlags = FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL;

// The folder part of `path` ("." when it has none), where the new file is
// written before it takes the place of the old one.
std::string FolderOf(const char* path) {
    std::string folder(path);
    PathRemoveFileSpecA(folder.data());
    folder.resize(std::strlen(folder.c_str()));
    return folder.empty() ? std::string(".") : folder;
}

// Makes a temporary in `folder`, with its name in `temp`; false with the
// code set.
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

// Makes the temporary for `path`: beside it, or, where its folder takes no
// new file but the existing output may be written, in the folder for
// temporaries, from where its contents are written into the output itself.
// ERROR_SUCCESS with the name in `temp`, or the reason.
DWORD MakeTemporary(const char* path, bool writableOutput, std::string* temp) {
    if (TemporaryIn(FolderOf(path), temp)) {
        return ERROR_SUCCESS;
    }
    const DWORD reason = GetLastError();
    if (reason != ERROR_ACCESS_DENIED || !writableOutput) {
        return reason;
    }
    std::string tempFolder(GetTempPathA(0, nullptr), '\0');
    if (GetTempPathA(static_cast<DWORD>(tempFolder.size()), tempFolder.data()) == 0) {
        return reason;
    }
    tempFolder.resize(std::strlen(tempFolder.c_str()));
    return TemporaryIn(tempFolder, temp) ? ERROR_SUCCESS : reason;
}

// The four parts of the file, in order, each written only when the one before
// succeeded. Returns the failing write's code, or ERROR_SUCCESS.
DWORD WriteParts(HANDLE file, const BITMAPFILEHEADER& fileHeader, const InfoBlock& info,
                 DWORD colorBytes, const void* pixels, DWORD pixelBytes) {
    DWORD written = 0;
    if (!WriteFile(file, &fileHeader, sizeof fileHeader, &written, nullptr) ||
        !WriteFile(file, &info.header, sizeof info.header, &written, nullptr) ||
        !WriteFile(file, info.colors, colorBytes, &written, nullptr) ||
        !WriteFile(file, pixels, pixelBytes, &written, nullptr)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

// Writes straight to `path`: a device or a pipe, where there is no file to
// keep. Nothing is ever deleted: the name stays with what it belongs to.
DWORD WriteInPlace(const char* path, const BITMAPFILEHEADER& fileHeader, const InfoBlock& info,
                   DWORD colorBytes, const void* pixels, DWORD pixelBytes) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              kOutputFlags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const DWORD reason = WriteParts(file, fileHeader, info, colorBytes, pixels, pixelBytes);
    CloseHandle(file);
    return reason;
}

// Writes the whole file under a new name and then puts it in the place of
// `path` in one step (an existing file keeping its identity), so that a
// write that fails part-way leaves whatever stood at `path` exactly as it
// was. `attributes` are those of the existing output, if any.
DWORD WriteAndReplace(const char* path, DWORD attributes, const BITMAPFILEHEADER& fileHeader,
                      const InfoBlock& info, DWORD colorBytes, const void* pixels,
                      DWORD pixelBytes) {
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    const bool writable =
        exists && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    std::string tempPath;
    DWORD reason = MakeTemporary(path, writable, &tempPath);
    if (reason != ERROR_SUCCESS) {
        return reason;
    }
    HANDLE file = CreateFileA(tempPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, kOutputFlags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = GetLastError();
    } else {
        reason = WriteParts(file, fileHeader, info, colorBytes, pixels, pixelBytes);
        if (!CloseHandle(file) && reason == ERROR_SUCCESS) {
            reason = GetLastError();
        }
        const BOOL placed = reason != ERROR_SUCCESS ? FALSE
                            : exists
                                ? ReplaceFileA(path, tempPath.c_str(), nullptr,
                                               REPLACEFILE_WRITE_THROUGH, nullptr, nullptr)
                                : MoveFileExA(tempPath.c_str(), path,
                                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (reason == ERROR_SUCCESS && !placed) {
            reason = GetLastError();
        }
    }
    if (reason != ERROR_SUCCESS) {
        DeleteFileA(tempPath.c_str());
    }
    return reason;
}

}  // namespace

BOOL SaveBitmapFile(const char* path, HBITMAP bitmap) {
    BITMAP record{};
    if (GetObjectA(bitmap, sizeof record, &record) == 0) {
        return FALSE;  // a null bitmap ends here: the output is not touched
    }

    InfoBlock info{};
    BITMAPINFOHEADER& header = info.header;
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = record.bmWidth;
    header.biHeight = record.bmHeight;
    header.biPlanes = 1;
    header.biBitCount = record.bmBitsPixel;
    header.biCompression = BI_RGB;
    const std::uint64_t imageSize =
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(record.bmWidthBytes)) *
        static_cast<std::uint32_t>(record.bmHeight);

    // Depths below 16 bits carry a full colour table; the info block has room
    // for 256 entries, so depths of 9 to 15 bits are refused.
    const unsigned depth = record.bmBitsPixel;
    if (depth > 8 && depth < 16) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const DWORD colorEntries = depth < 16 ? (1u << depth) : 0u;
    const DWORD colorBytes = 4 * colorEntries;

    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = BMP_SIGNATURE;
    const std::uint64_t offBits = kFileHeaderSize + header.biSize + colorBytes;
    if (record.bmWidthBytes <= 0 || record.bmHeight <= 0 || offBits + imageSize > 0xFFFFFFFFu) {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        return FALSE;
    }
    header.biSizeImage = static_cast<DWORD>(imageSize);
    fileHeader.bfOffBits = static_cast<DWORD>(offBits);
    fileHeader.bfSize = static_cast<DWORD>(offBits + imageSize);

    void* pixels = HeapAlloc(GetProcessHeap(), 0, header.biSizeImage);
    if (pixels == nullptr) {
        return FALSE;
    }
    const DWORD pixelCapacity = header.biSizeImage;
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
        header.biSizeImage < pixelCapacity ? header.biSizeImage : pixelCapacity;
    // A device or a pipe is written straight; a file is replaced by a new
    // one in a single step.
    const DWORD attributes = GetFileAttributesA(path);
    const bool device =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE) != 0;
    DWORD reason = ERROR_NOT_ENOUGH_MEMORY;  // where the path cannot be copied
    try {
        reason = device ? WriteInPlace(path, fileHeader, info, colorBytes, pixels, pixelBytes)
                        : WriteAndReplace(path, attributes, fileHeader, info, colorBytes, pixels,
                                          pixelBytes);
    } catch (const std::bad_alloc&) {
    }

    DeleteDC(dc);
    HeapFree(GetProcessHeap(), 0, pixels);
    SetLastError(reason);
    return reason == ERROR_SUCCESS ? TRUE : FALSE;
}

}  // namespace veerpic
