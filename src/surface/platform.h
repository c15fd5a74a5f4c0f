// The platform services veerpic is written against (bitmap sections, memory
// device contexts, the parallelogram transfer, the image loader, files, the
// process heap, the last-error code), under the platform's own names. Where a
// platform call takes a buffer without its length, the call here takes it
// too ("length added"), so that none can reach past what it was given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/dib_records.h"

namespace platform {

// ---------------------------------------------------------------- basic types
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using INT = int;
using BOOL = int;
using LPCSTR = const char*;
using LPSTR = char*;
using LPVOID = void*;
using LPCVOID = const void*;
using SIZE_T = std::size_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

using HANDLE = void*;
using HGDIOBJ = void*;
struct GdiBitmap;
struct GdiDc;
using HBITMAP = GdiBitmap*;
using HDC = GdiDc*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

struct POINT {
    LONG x;
    LONG y;
};

// ------------------------------------------------------------ bitmap records
// The records of bitmaps in files and descriptions (BITMAPINFOHEADER,
// RGBQUAD, BI_RGB ...) are the platform's names.
using namespace veerpic::records;

struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
};

inline constexpr UINT DIB_RGB_COLORS = 0;

// LoadImageA / CopyImage.
inline constexpr UINT IMAGE_BITMAP = 0;
inline constexpr UINT LR_LOADFROMFILE = 0x0010;
inline constexpr UINT LR_VGACOLOR = 0x0080;
inline constexpr UINT LR_CREATEDIBSECTION = 0x2000;

// SetStretchBltMode.
inline constexpr int BLACKONWHITE = 1;
inline constexpr int HALFTONE = 4;

// ------------------------------------------------------------- file records
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x00000001u;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
inline constexpr DWORD FILE_SHARE_DELETE = 0x00000004u;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001u;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002u;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010u;
inline constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x00000040u;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
inline constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000u;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001u;
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x00000008u;
inline constexpr DWORD REPLACEFILE_WRITE_THROUGH = 0x00000001u;
inline constexpr DWORD MAX_PATH = 260;

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

// ------------------------------------------------------------ last-error codes
// The codes the services set.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
inline constexpr DWORD ERROR_ARITHMETIC_OVERFLOW = 534;
inline constexpr DWORD ERROR_IO_DEVICE = 1117;
inline constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

DWORD GetLastError();
void SetLastError(DWORD code);

// ------------------------------------------------------------ process heap
HANDLE GetProcessHeap();
// Returns null and sets ERROR_NOT_ENOUGH_MEMORY when the block cannot be had.
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
inline constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008u;
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);

// ------------------------------------------------------------------- files
// Opens `path` with a creation disposition CREATE_NEW .. TRUNCATE_EXISTING. A
// folder is refused (ERROR_ACCESS_DENIED); a FIFO opened for reading waits
// for its writer; with FILE_FLAG_WRITE_THROUGH each write reaches the disk
// before it returns. A pending temporary (GetTempFileNameA) opens as the file
// it is, named or not; a pipe that LoadImageA read and could not use opens
// once more for reading as the same stream, its first bytes given again.
// Calls that succeed leave the last-error code as it was.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD creation, DWORD flagsAndAttributes, HANDLE templateFile);
// A read cut short by the end of the file succeeds with the count delivered.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped);
// The size of an open regular file; 0 for devices and pipes, whose length is unknown.
BOOL GetFileSizeEx(HANDLE file, std::int64_t* size);
BOOL CloseHandle(HANDLE object);
BOOL DeleteFileA(LPCSTR path);
// FILE_ATTRIBUTE_DIRECTORY for a folder; FILE_ATTRIBUTE_DEVICE for a device,
// a pipe, or a file the process holds as one of its own streams
// (/dev/stdout sent to a file); else the file's attributes
// (FILE_ATTRIBUTE_NORMAL where the system has none), with
// FILE_ATTRIBUTE_READONLY where the process may not write it.
DWORD GetFileAttributesA(LPCSTR path);
// Removes the last name of `path` (and the separator before it, but for the
// root's), leaving its folder: "" for a name without one. TRUE when
// something was removed.
BOOL PathRemoveFileSpecA(LPSTR path);
// Creates a new, empty temporary with a unique name in `dir`, readable and
// writable by its owner only, its path in `buffer` (length added). Returns
// the unique number, 0 on failure. It is "pending" until MoveFileExA or
// ReplaceFileA puts it in place or DeleteFileA removes it; a signal or a
// console event that ends the process removes it first, and where the system
// can it goes even with a process killed outright (it has no name, or is
// marked for deletion, until it takes its place).
UINT GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR buffer, DWORD bufferSize);
// The folder for temporaries that have no place beside their output, with a
// separator at its end. Returns its length, or the size it needs (its NUL
// included) when `bufferSize` is too small.
DWORD GetTempPathA(DWORD bufferSize, LPSTR buffer);
// Puts the temporary `from` at `to`, where no file stands yet, as a new file
// with the mode a new file gets (a link at `to` goes on naming it). A file
// that stands there after all is ERROR_ALREADY_EXISTS, or with
// MOVEFILE_REPLACE_EXISTING replaced as ReplaceFileA replaces it.
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
// Puts the complete temporary `replacement` in the place of the file
// `replaced`, keeping the output's identity. `backup` must be null.
// - Links are followed as the system's own open follows them (a link the
//   system's protection refuses to follow is refused, ERROR_ACCESS_DENIED);
//   the file they end at is the one replaced, and the links go on naming it.
// - Kept: every name the output has, its owner, group and mode (POSIX) or
//   its attributes (Windows).
// - Refused with ERROR_ACCESS_DENIED, nothing changed: an output the process
//   may not write, a folder, a device.
// - Written in place, where a new file could not keep the identity (other
//   hard links; one of the process's own streams; an owner the process
//   cannot give) or the system refuses the rename for a reason writing in
//   place avoids (the folder takes no new entry, a mount point, an output
//   open elsewhere). The in-place write checks the file-size limit, takes a
//   lock (concurrent runs follow one another), reserves the room, and holds
//   termination while it overwrites: only an I/O error during the overwrite
//   can change the output, and it then leaves it empty, never half new.
// - An output gone by the time of the replace is put there as a new file.
// A failure leaves the output byte for byte as it was, and the replacement
// pending, for the caller to delete. The *_WRITE_THROUGH flags put a new
// entry on the disk before the call returns.
BOOL ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup, DWORD flags, LPVOID exclude,
                  LPVOID reserved);

// ---------------------------------------------------------- bitmap services
// Every bitmap is a device-independent bitmap section: 1, 4, 8, 16, 24 or
// 32 bits per pixel, rows padded to 4 bytes, a colour table up to 8 bits and
// BI_RGB or BI_BITFIELDS pixels at 16 and 32 bits. A new section's pixels are 0.

// Loads a BMP file as a section of the file's own depth; null when the file is
// not a well-formed BMP file (or is shorter than its headers say).
HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags);
HANDLE CopyImage(HANDLE image, UINT type, int cx, int cy, UINT flags);

// `infoSize` (length added) is the number of bytes readable at `info`; a
// description that needs more is refused with ERROR_INVALID_DATA.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                         DWORD offset, DWORD infoSize);
// Converts `lines` rows from the format `info` describes into the section.
// `bitsSize` and `infoSize` (length added) bound what is read; rows that the
// block does not hold are left as they were. Returns the number of the rows
// asked for that lie inside the section, 0 on failure.
int SetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, const void* bits,
              const BITMAPINFO* info, UINT usage, DWORD bitsSize, DWORD infoSize);
// Delivers rows at the bitmap's own depth as BI_RGB (16 bits as 5-5-5, 32 bits
// as 8-8-8 with an unused top byte), bottom row first for a positive
// biHeight, and the colour table for 8 bits or less. `bitsSize` and
// `infoSize` (length added) are the capacities of `bits` and `info`.
int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage, DWORD bitsSize, DWORD infoSize);
int GetObjectA(HANDLE object, int size, void* out);

HDC CreateCompatibleDC(HDC dc);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
int SetStretchBltMode(HDC dc, int mode);
// Maps the source rectangle onto the parallelogram whose corners land at
// points[0] (upper-left), points[1] (upper-right), points[2] (lower-left).
BOOL PlgBlt(HDC dest, const POINT* points, HDC source, int xSrc, int ySrc, int width, int height,
            HBITMAP mask, int xMask, int yMask);
BOOL DeleteDC(HDC dc);
BOOL DeleteObject(HGDIOBJ object);

}  // namespace platform
