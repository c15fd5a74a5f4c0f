// The system calls of the Windows port, each behind the fault seam: a call
// the test hook fails returns the call's failure value with the last-error
// code set to the code the hook chose, without reaching the system (a close
// still closes, so that a failed close leaks nothing). Every Windows port
// file makes its system calls through these.
//
// platform.h comes first: windows.h defines macros (TRUE, ERROR_SUCCESS,
// MAX_PATH, GENERIC_READ, INVALID_HANDLE_VALUE, ...) that would otherwise
// rewrite the tool's own constants. Below the include, those names are the
// platform's macros, whose values are the same; Windows' DWORD is spelled
// ::DWORD and converted explicitly where it meets the tool's 32-bit DWORD.
#pragma once

// clang-format off
#include "surface/port.h"
#include <windows.h>
// clang-format on

#include <cstdlib>
#include <new>
#include <string>

namespace platform::windows {

using port::SystemCall;

inline bool Fails(SystemCall call) {
    const int code = port::InjectedFault(call);
    if (code != 0) {
        ::SetLastError(static_cast<::DWORD>(code));
        return true;
    }
    return false;
}

// A path of the process's code page as the system's wide characters, so
// that the wide calls take it whatever its length (the narrow ones stop at
// MAX_PATH on some systems). A path whose bytes are no text of the code page
// names no file: false with ERROR_FILE_NOT_FOUND (ERROR_NOT_ENOUGH_MEMORY when
// memory runs out).
inline bool Wide(LPCSTR path, std::wstring* wide) {
    const int length = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    try {
        wide->resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide->data(), length);
    wide->pop_back();  // the NUL the count included
    return true;
}

inline HANDLE Create(LPCSTR path, ::DWORD access, ::DWORD share, ::DWORD creation, ::DWORD flags) {
    std::wstring wide;
    return Fails(SystemCall::kOpen) || !Wide(path, &wide)
               ? INVALID_HANDLE_VALUE
               : ::CreateFileW(wide.c_str(), access, share, nullptr, creation, flags, nullptr);
}

// The platform's calls that take a path, without the seam: for queries and
// for the clean-up after a failure.
inline ::DWORD AttributesOf(LPCSTR path) {
    std::wstring wide;
    return Wide(path, &wide) ? ::GetFileAttributesW(wide.c_str()) : INVALID_FILE_ATTRIBUTES;
}

inline HANDLE OpenForQuery(LPCSTR path, ::DWORD access, ::DWORD flags) {
    std::wstring wide;
    return Wide(path, &wide) ? ::CreateFileW(wide.c_str(), access,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, flags, nullptr)
                             : INVALID_HANDLE_VALUE;
}

inline bool DeleteQuietly(LPCSTR path) {
    std::wstring wide;
    return Wide(path, &wide) && ::DeleteFileW(wide.c_str()) != 0;
}

inline bool Read(HANDLE file, void* buffer, ::DWORD count, ::DWORD* got) {
    return !Fails(SystemCall::kRead) && ::ReadFile(file, buffer, count, got, nullptr) != 0;
}

inline bool Write(HANDLE file, const void* buffer, ::DWORD count, ::DWORD* done) {
    return !Fails(SystemCall::kWrite) && ::WriteFile(file, buffer, count, done, nullptr) != 0;
}

// Positioned reads and writes: the file pointer is set first.
inline bool ReadAt(HANDLE file, void* buffer, ::DWORD count, ::DWORD* got, LONGLONG at) {
    LARGE_INTEGER to{};
    to.QuadPart = at;
    return !Fails(SystemCall::kReadAt) && ::SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
           ::ReadFile(file, buffer, count, got, nullptr) != 0;
}

inline bool WriteAt(HANDLE file, const void* buffer, ::DWORD count, ::DWORD* done, LONGLONG at) {
    LARGE_INTEGER to{};
    to.QuadPart = at;
    return !Fails(SystemCall::kWriteAt) && ::SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
           ::WriteFile(file, buffer, count, done, nullptr) != 0;
}

inline bool Flush(HANDLE file) {
    return !Fails(SystemCall::kFlush) && ::FlushFileBuffers(file) != 0;
}

inline bool Close(HANDLE file) {
    const int code = port::InjectedFault(SystemCall::kClose);
    const bool closed = ::CloseHandle(file) != 0;
    if (code != 0) {
        ::SetLastError(static_cast<::DWORD>(code));
        return false;
    }
    return closed;
}

inline bool Move(LPCSTR from, LPCSTR to, ::DWORD flags) {
    std::wstring wideFrom;
    std::wstring wideTo;
    return !Fails(SystemCall::kRename) && Wide(from, &wideFrom) && Wide(to, &wideTo) &&
           ::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), flags) != 0;
}

inline bool Replace(LPCSTR replaced, LPCSTR replacement, ::DWORD flags) {
    std::wstring wideReplaced;
    std::wstring wideReplacement;
    return !Fails(SystemCall::kRename) && Wide(replaced, &wideReplaced) &&
           Wide(replacement, &wideReplacement) &&
           ::ReplaceFileW(wideReplaced.c_str(), wideReplacement.c_str(), nullptr, flags, nullptr,
                          nullptr) != 0;
}

inline bool Delete(LPCSTR path) {
    std::wstring wide;
    return !Fails(SystemCall::kUnlink) && Wide(path, &wide) && ::DeleteFileW(wide.c_str()) != 0;
}

inline bool SetAttributes(LPCSTR path, ::DWORD attributes) {
    std::wstring wide;
    return !Fails(SystemCall::kMode) && Wide(path, &wide) &&
           ::SetFileAttributesW(wide.c_str(), attributes) != 0;
}

// Sets the end of the file at `length`.
inline bool SetEnd(HANDLE file, LONGLONG length) {
    LARGE_INTEGER to{};
    to.QuadPart = length;
    return !Fails(SystemCall::kReserve) && ::SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
           ::SetEndOfFile(file) != 0;
}

inline bool Lock(HANDLE file) {
    ::OVERLAPPED whole{};
    return !Fails(SystemCall::kLock) &&
           ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

inline void* HeapAllocate(HANDLE heap, ::DWORD flags, SIZE_T bytes) {
    return Fails(SystemCall::kAllocate) ? nullptr : ::HeapAlloc(heap, flags, bytes);
}

inline void* Allocate(SIZE_T bytes) {
    return Fails(SystemCall::kAllocate) ? nullptr : std::malloc(bytes == 0 ? 1 : bytes);
}

}  // namespace platform::windows
