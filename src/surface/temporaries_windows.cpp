// Temporaries on Windows: the new file of a save, made beside the output and
// pending until it takes the output's place or is deleted. A console control
// event (Ctrl+C, Ctrl+Break, the window closing) removes pending temporaries
// before the process ends. Names are made here, not by the platform's
// GetTempFileNameA, so that no folder is too long for them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "surface/port_windows.h"

namespace platform::windows {

namespace {

// The table of pending temporaries, and the lock that the control handler
// takes for good: it waits for every holder of control events first.
SRWLOCK tableLock = SRWLOCK_INIT;
SRWLOCK eventLock = SRWLOCK_INIT;
std::vector<std::string>* pending = nullptr;  // made on first use, never freed

BOOL WINAPI RemovePendingAndEnd(::DWORD event) {
    ::AcquireSRWLockExclusive(&eventLock);
    ::AcquireSRWLockExclusive(&tableLock);
    if (pending != nullptr) {
        for (const std::string& path : *pending) {
            // Open for writing, it goes when its handle closes, at the latest
            // as the process ends (it was opened to allow this).
            windows::DeleteQuietly(path.c_str());
        }
        pending->clear();
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        // End as the platform's own handler ends a process on Ctrl+C, with
        // the locks still held, so that no temporary is made or moved meanwhile.
        ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
    // Closing, logging off, shutting down: the platform ends the process.
    return FALSE;
}

// A name that no file in the folder is likely to have, seeded by the
// process and the time; without capitals, which the system's names do not
// tell from small letters.
std::string UniqueName(const std::string& prefix) {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const std::uint64_t seed = (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^
                               static_cast<std::uint64_t>(now.QuadPart);
    return port::TemporaryName(prefix, seed, false);
}

// Whether `dir` ends in a separator, read with the code page's double-byte rule.
bool EndsInSeparator(const std::string& dir) {
    bool last = false;
    const UINT codePage = ::GetACP();
    for (std::size_t i = 0; i < dir.size(); ++i) {
        const auto byte = static_cast<unsigned char>(dir[i]);
        if (::IsDBCSLeadByteEx(codePage, byte) && i + 1 < dir.size()) {
            ++i;
            last = false;
            continue;
        }
        last = byte == '\\' || byte == '/';
    }
    return last;
}

}  // namespace

bool IsPending(LPCSTR path) {
    ::AcquireSRWLockShared(&tableLock);
    bool found = false;
    if (pending != nullptr) {
        for (const std::string& p : *pending) {
            found = found || p == path;
        }
    }
    ::ReleaseSRWLockShared(&tableLock);
    return found;
}

void ForgetPending(LPCSTR path) {
    ::AcquireSRWLockExclusive(&tableLock);
    if (pending != nullptr) {
        for (std::size_t i = 0; i < pending->size(); ++i) {
            if ((*pending)[i] == path) {
                pending->erase(pending->begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
    ::ReleaseSRWLockExclusive(&tableLock);
}

HeldEvents::HeldEvents() {
    ::AcquireSRWLockShared(&eventLock);
}

HeldEvents::~HeldEvents() {
    ::ReleaseSRWLockShared(&eventLock);
}

}  // namespace platform::windows

long platform::port::PendingTemporaries() {
    ::AcquireSRWLockShared(&windows::tableLock);
    const long count =
        windows::pending != nullptr ? static_cast<long>(windows::pending->size()) : 0;
    ::ReleaseSRWLockShared(&windows::tableLock);
    return count;
}

platform::UINT platform::GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR buffer,
                                          DWORD bufferSize) {
    if (dir == nullptr || buffer == nullptr || unique != 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return port::Guarded<UINT>(0, [&]() -> UINT {
        static const bool handler =
            ::SetConsoleCtrlHandler(windows::RemovePendingAndEnd, TRUE) != 0;
        (void)handler;
        const windows::KeepLastError kept;
        const std::string folder = dir[0] == '\0' ? std::string(".") : std::string(dir);
        const std::string shortPrefix =
            prefix != nullptr ? std::string(prefix).substr(0, 3) : std::string();
        const std::string base = folder + (windows::EndsInSeparator(folder) ? "" : "\\");
        // The name's length is known before the file is made.
        if (base.size() + shortPrefix.size() + 6 + 4 + 1 > bufferSize) {
            ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        if (windows::pending == nullptr) {
            windows::pending = new std::vector<std::string>;
        }
        // No control event between making the file and noting it for removal.
        const windows::HeldEvents held;
        std::string name;
        ::DWORD reason = ERROR_FILE_EXISTS;
        for (int attempt = 0; attempt < 100 && reason == ERROR_FILE_EXISTS; ++attempt) {
            name = base + windows::UniqueName(shortPrefix);
            HANDLE made = windows::Create(name.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
            reason = made == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
            if (reason == ERROR_ALREADY_EXISTS) {
                reason = ERROR_FILE_EXISTS;
            }
            if (made != INVALID_HANDLE_VALUE) {
                ::CloseHandle(made);
            }
        }
        if (reason != ERROR_SUCCESS) {
            ::SetLastError(reason);
            return 0;
        }
        ::AcquireSRWLockExclusive(&windows::tableLock);
        try {
            windows::pending->push_back(name);
        } catch (...) {
            ::ReleaseSRWLockExclusive(&windows::tableLock);
            windows::DeleteQuietly(name.c_str());
            throw;
        }
        ::ReleaseSRWLockExclusive(&windows::tableLock);
        std::memcpy(buffer, name.c_str(), name.size() + 1);
        kept.Restore();
        return 1;
    });
}

platform::DWORD platform::GetTempPathA(DWORD bufferSize, LPSTR buffer) {
    return static_cast<DWORD>(::GetTempPathA(static_cast<::DWORD>(bufferSize), buffer));
}
