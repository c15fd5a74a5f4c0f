// The Windows port's own helpers: paths as the system's wide characters, and
// Run(), through which every system call goes: it returns the call's code,
// leaves the thread's last-error code as it was (Windows sets it on some
// successes too), and behind the fault seam returns the code the test hook
// chose without reaching the system.
//
// platform.h comes first: windows.h defines macros (TRUE, ERROR_SUCCESS,
// MAX_PATH, GENERIC_READ, INVALID_HANDLE_VALUE, ...) that would otherwise
// rewrite the tool's own constants. Below the include, those names are the
// platform's macros, whose values are the same; Windows' DWORD is spelled
// ::DWORD and converted explicitly where it meets the tool's 32-bit DWORD.
#pragma once

// clang-format off
#include "surface/port.h"
#include "surface/testing.h"
#include <windows.h>
// clang-format on

#include <new>
#include <string>

namespace platform::windows {

inline HANDLE AsHandle(port::File file) {
    return reinterpret_cast<HANDLE>(file);
}

// Runs `call`, a system call that reports a failure through the thread's
// last-error code, and returns its code.
template <typename Call>
port::Code Run(const Call& call) {
    const ::DWORD saved = ::GetLastError();
    const ::DWORD code = call() ? ERROR_SUCCESS : ::GetLastError();
    ::SetLastError(saved);
    return static_cast<port::Code>(code);
}

// The same behind the seam, as the call `seam`.
template <typename Call>
port::Code Run(SystemCall seam, const Call& call) {
    const int injected = InjectedFault(seam);
    return injected != 0 ? static_cast<port::Code>(injected) : Run(call);
}

// A path of the process's code page as the system's wide characters, so
// that the wide calls take it whatever its length (the narrow ones stop at
// MAX_PATH on some systems). A path whose bytes are no text of the code page
// names no file: false, ERROR_FILE_NOT_FOUND (ERROR_NOT_ENOUGH_MEMORY when
// memory runs out) in the thread's code.
inline bool Wide(const char* path, std::wstring* wide) {
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

// Wide characters in the process's code page; false where a character has
// no spelling there.
inline bool Narrow(const wchar_t* text, int length, std::string* narrow) {
    const bool utf8 = ::GetACP() == CP_UTF8;
    BOOL lost = FALSE;
    const int bytes = ::WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, text, length,
                                            nullptr, 0, nullptr, utf8 ? nullptr : &lost);
    if (bytes <= 0 || lost) {
        return false;
    }
    narrow->resize(static_cast<std::size_t>(bytes));
    ::WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, text, length, narrow->data(),
                          bytes, nullptr, nullptr);
    return true;
}

// Opens `path` with the wide call; INVALID_HANDLE_VALUE with the thread's code set.
inline HANDLE OpenWide(const char* path, ::DWORD access, ::DWORD share, ::DWORD creation,
                       ::DWORD flags) {
    std::wstring wide;
    return Wide(path, &wide)
               ? ::CreateFileW(wide.c_str(), access, share, nullptr, creation, flags, nullptr)
               : INVALID_HANDLE_VALUE;
}

inline constexpr ::DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace platform::windows
