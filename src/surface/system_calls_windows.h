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

inline HANDLE Create(LPCSTR path, ::DWORD access, ::DWORD share, ::DWORD creation, ::DWORD flags) {
    return Fails(SystemCall::kOpen)
               ? INVALID_HANDLE_VALUE
               : ::CreateFileA(path, access, share, nullptr, creation, flags, nullptr);
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
    return !Fails(SystemCall::kRename) && ::MoveFileExA(from, to, flags) != 0;
}

inline bool Replace(LPCSTR replaced, LPCSTR replacement, ::DWORD flags) {
    return !Fails(SystemCall::kRename) &&
           ::ReplaceFileA(replaced, replacement, nullptr, flags, nullptr, nullptr) != 0;
}

inline bool Delete(LPCSTR path) {
    return !Fails(SystemCall::kUnlink) && ::DeleteFileA(path) != 0;
}

inline bool SetAttributes(LPCSTR path, ::DWORD attributes) {
    return !Fails(SystemCall::kMode) && ::SetFileAttributesA(path, attributes) != 0;
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
