// Files, the process heap and the thread's last-error code on Windows: the
// platform's own calls, with the tool's bookkeeping around them (live counts,
// pending temporaries, the same refusals as on other systems).
//
// platform.h comes first: windows.h defines macros (TRUE, ERROR_SUCCESS,
// MAX_PATH, GENERIC_READ, INVALID_HANDLE_VALUE, ...) that would otherwise
// rewrite the tool's own constants. Below the include, those names are the
// platform's macros, whose values are the same; Windows' DWORD is spelled
// ::DWORD and converted explicitly where it meets the tool's 32-bit DWORD.
// clang-format off
#include "surface/platform.h"
#include <windows.h>
// clang-format on

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

namespace platform {

namespace {

// A call that succeeds leaves the thread's code as it found it, as the
// tool's conventions expect; Windows itself sets it on some successes.
class KeepLastError {
  public:
    KeepLastError() : saved_(::GetLastError()) {}
    void Restore() const { ::SetLastError(saved_); }

  private:
    ::DWORD saved_;
};

DWORD LastWindowsError() {
    return static_cast<DWORD>(::GetLastError());
}

}  // namespace

// ------------------------------------------------------------- last error

DWORD GetLastError() {
    return LastWindowsError();
}

void SetLastError(DWORD code) {
    ::SetLastError(static_cast<::DWORD>(code));
}

// ------------------------------------------------------------- process heap

namespace {
std::atomic<long> liveHeapBlocks{0};
}  // namespace

namespace detail {
long LiveHeapBlocks() {
    return liveHeapBlocks.load();
}

// Large pages need a privilege that an ordinary user does not hold on
// Windows; blocks keep the ordinary pages.
void AdviseLargePages(void* block, std::size_t bytes) {
    (void)block;
    (void)bytes;
}

// The transfer's working memory: the C heap, as on POSIX.
void* AllocateWorkingMemory(std::size_t bytes) {
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void ReleaseWorkingMemory(void* block) {
    std::free(block);
}
}  // namespace detail

HANDLE GetProcessHeap() {
    return ::GetProcessHeap();
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    LPVOID block = ::HeapAlloc(heap, static_cast<::DWORD>(flags & HEAP_ZERO_MEMORY), bytes);
    if (block == nullptr) {
        // The platform's allocation sets no code of its own when it fails.
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ++liveHeapBlocks;
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    if (heap == nullptr || block == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!::HeapFree(heap, static_cast<::DWORD>(flags), block)) {
        return FALSE;
    }
    --liveHeapBlocks;
    return TRUE;
}

// ------------------------------------------------------------------- files

namespace {

// The handles this adapter opened, so that a stale or foreign handle is
// refused as on other systems and tests can count what is still open.
struct FileTable {
    std::mutex lock;
    std::unordered_set<HANDLE> open;
    std::unordered_set<HANDLE> writing;
};

FileTable& Files() {
    static FileTable table;
    return table;
}

bool IsOpen(HANDLE handle, bool* writing = nullptr) {
    FileTable& t = Files();
    std::lock_guard<std::mutex> guard(t.lock);
    if (writing != nullptr) {
        *writing = t.writing.count(handle) != 0;
    }
    return t.open.count(handle) != 0;
}

bool IsDisk(HANDLE handle) {
    return ::GetFileType(handle) == FILE_TYPE_DISK;
}

// Temporaries made by GetTempFileNameA and not yet moved or deleted. A
// console control event (Ctrl+C, Ctrl+Break, the window closing) removes
// them before the process ends. The handler runs on a thread of its own, so
// the table is behind a lock that the handler keeps until the process is gone.
constexpr int kMaxPendingTemps = 8;
char pendingTemps[kMaxPendingTemps][MAX_PATH];
bool pendingUsed[kMaxPendingTemps];
SRWLOCK pendingLock = SRWLOCK_INIT;

BOOL WINAPI RemovePendingTemps(::DWORD event) {
    ::AcquireSRWLockExclusive(&pendingLock);
    for (int i = 0; i < kMaxPendingTemps; ++i) {
        if (pendingUsed[i]) {
            // Open for writing, it goes when its handle closes, at the latest
            // as the process ends (it was opened to allow this).
            ::DeleteFileA(pendingTemps[i]);
            pendingUsed[i] = false;
        }
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        // End as the platform's own handler ends a process on Ctrl+C, with
        // the lock still held, so that no temporary is made or moved meanwhile.
        ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
    // Closing, logging off, shutting down: the platform ends the process.
    return FALSE;
}

bool IsPendingTemp(const char* path) {
    ::AcquireSRWLockShared(&pendingLock);
    bool pending = false;
    for (int i = 0; i < kMaxPendingTemps && !pending; ++i) {
        pending = pendingUsed[i] && std::strcmp(pendingTemps[i], path) == 0;
    }
    ::ReleaseSRWLockShared(&pendingLock);
    return pending;
}

// Called with pendingLock held.
void RegisterPendingTemp(const char* path) {
    static bool handlerInstalled = false;
    if (!handlerInstalled) {
        handlerInstalled = ::SetConsoleCtrlHandler(RemovePendingTemps, TRUE) != 0;
    }
    const std::size_t length = std::strlen(path);
    if (length >= sizeof pendingTemps[0]) {
        return;
    }
    for (int i = 0; i < kMaxPendingTemps; ++i) {
        if (!pendingUsed[i]) {
            std::memcpy(pendingTemps[i], path, length + 1);
            pendingUsed[i] = true;
            return;
        }
    }
}

// Called with pendingLock held.
void ForgetPendingTemp(const char* path) {
    for (int i = 0; i < kMaxPendingTemps; ++i) {
        if (pendingUsed[i] && std::strcmp(pendingTemps[i], path) == 0) {
            pendingUsed[i] = false;
        }
    }
}

}  // namespace

namespace {
// How often written data and folder entries were flushed to the disk.
std::atomic<long> dataFlushes{0};
std::atomic<long> folderFlushes{0};
}  // namespace

FlushCounts GetFlushCounts() {
    return FlushCounts{dataFlushes.load(), folderFlushes.load()};
}

namespace detail {
long LiveFiles() {
    FileTable& t = Files();
    std::lock_guard<std::mutex> guard(t.lock);
    return static_cast<long>(t.open.size());
}
}  // namespace detail

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD creation, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)security;  // the tool never passes any
    if (path == nullptr || path[0] == '\0') {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const KeepLastError kept;
    // A pending temporary may be deleted while it is open, so that an
    // interrupt can remove it in the middle of a write.
    if (IsPendingTemp(path)) {
        shareMode |= FILE_SHARE_DELETE;
    }
    // A folder fails to open here (ERROR_ACCESS_DENIED) as elsewhere, since
    // FILE_FLAG_BACKUP_SEMANTICS is not passed. Handles are always binary.
    HANDLE file = ::CreateFileA(path, static_cast<::DWORD>(access), static_cast<::DWORD>(shareMode),
                                nullptr, static_cast<::DWORD>(creation),
                                static_cast<::DWORD>(flagsAndAttributes), templateFile);
    if (file == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    try {
        FileTable& t = Files();
        std::lock_guard<std::mutex> guard(t.lock);
        t.open.insert(file);
        if ((access & GENERIC_WRITE) != 0) {
            t.writing.insert(file);
        }
    } catch (const std::bad_alloc&) {
        ::CloseHandle(file);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    kept.Restore();
    return file;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    (void)overlapped;
    if (read != nullptr) {
        *read = 0;
    }
    if (!IsOpen(file) || (buffer == nullptr && toRead != 0)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const KeepLastError kept;
    auto* out = static_cast<BYTE*>(buffer);
    DWORD done = 0;
    while (done < toRead) {
        ::DWORD n = 0;
        if (!::ReadFile(file, out + done, static_cast<::DWORD>(toRead - done), &n, nullptr)) {
            if (::GetLastError() == ERROR_BROKEN_PIPE) {
                break;  // the writing end of a pipe closed: its end of file
            }
            if (read != nullptr) {
                *read = done;
            }
            return FALSE;
        }
        if (n == 0) {
            break;  // the end of the file: a short read still succeeds
        }
        done += static_cast<DWORD>(n);
    }
    if (read != nullptr) {
        *read = done;
    }
    kept.Restore();
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
    (void)overlapped;
    if (written != nullptr) {
        *written = 0;
    }
    if (!IsOpen(file) || (buffer == nullptr && toWrite != 0)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const KeepLastError kept;
    const auto* in = static_cast<const BYTE*>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        ::DWORD n = 0;
        if (!::WriteFile(file, in + done, static_cast<::DWORD>(toWrite - done), &n, nullptr)) {
            if (written != nullptr) {
                *written = done;
            }
            return FALSE;
        }
        if (n == 0) {
            // Nothing taken and no reason given: a full device.
            if (written != nullptr) {
                *written = done;
            }
            ::SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    kept.Restore();
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, std::int64_t* size) {
    if (!IsOpen(file) || size == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!IsDisk(file)) {
        *size = 0;  // a pipe or a device: its length is not known
        return TRUE;
    }
    const KeepLastError kept;
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(file, &value)) {
        return FALSE;
    }
    *size = static_cast<std::int64_t>(value.QuadPart);
    kept.Restore();
    return TRUE;
}

BOOL CloseHandle(HANDLE file) {
    bool writing = false;
    if (!IsOpen(file, &writing)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        FileTable& t = Files();
        std::lock_guard<std::mutex> guard(t.lock);
        t.open.erase(file);
        t.writing.erase(file);
    }
    const KeepLastError kept;
    // A written file's data and its size reach the disk before it is closed,
    // so that a file put in place by MoveFileExA afterwards is whole.
    bool flushed = true;
    ::DWORD flushError = 0;
    if (writing && IsDisk(file)) {
        if (::FlushFileBuffers(file)) {
            ++dataFlushes;
        } else {
            flushed = false;
            flushError = ::GetLastError();
        }
    }
    if (!::CloseHandle(file)) {
        return FALSE;
    }
    if (!flushed) {
        ::SetLastError(flushError);
        return FALSE;
    }
    kept.Restore();
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (path == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const KeepLastError kept;
    if (!::DeleteFileA(path)) {
        return FALSE;
    }
    ::AcquireSRWLockExclusive(&pendingLock);
    ForgetPendingTemp(path);
    ::ReleaseSRWLockExclusive(&pendingLock);
    kept.Restore();
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (path == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<DWORD>(INVALID_FILE_ATTRIBUTES);
    }
    const KeepLastError kept;
    const ::DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return static_cast<DWORD>(INVALID_FILE_ATTRIBUTES);
    }
    DWORD result = static_cast<DWORD>(attributes);
    // A device name (NUL, CON, COM1, ...) is written in place, never replaced.
    if ((result & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        HANDLE probe =
            ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
        if (probe != INVALID_HANDLE_VALUE) {
            if (!IsDisk(probe)) {
                result |= FILE_ATTRIBUTE_DEVICE;
            }
            ::CloseHandle(probe);
        }
    }
    kept.Restore();
    return result;
}

UINT GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR buffer, DWORD bufferSize) {
    if (dir == nullptr || buffer == nullptr || unique != 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The platform writes up to MAX_PATH characters; the caller's buffer may
    // be larger or smaller than that.
    char name[MAX_PATH + 1] = {};
    const KeepLastError kept;
    // No control event between making the file and noting it for removal.
    ::AcquireSRWLockExclusive(&pendingLock);
    const UINT result =
        ::GetTempFileNameA(dir[0] == '\0' ? "." : dir, prefix != nullptr ? prefix : "", 0, name);
    const ::DWORD reason = ::GetLastError();
    if (result != 0) {
        RegisterPendingTemp(name);
    }
    ::ReleaseSRWLockExclusive(&pendingLock);
    if (result == 0) {
        // A folder that is not there is a missing path, as for any open.
        const bool noFolder =
            reason == ERROR_DIRECTORY &&
            ::GetFileAttributesA(dir[0] == '\0' ? "." : dir) == INVALID_FILE_ATTRIBUTES;
        ::SetLastError(noFolder ? ERROR_PATH_NOT_FOUND : reason);
        return 0;
    }
    const std::size_t length = std::strlen(name);
    if (length + 1 > bufferSize) {
        DeleteFileA(name);
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    std::memcpy(buffer, name, length + 1);
    kept.Restore();
    return result;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (from == nullptr || to == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const KeepLastError kept;
    // A file that may not be written may not be replaced either: the same
    // refusal that opening it for writing gets.
    const ::DWORD existing = ::GetFileAttributesA(to);
    if (existing != INVALID_FILE_ATTRIBUTES &&
        (existing & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ::AcquireSRWLockExclusive(&pendingLock);
    const BOOL moved = ::MoveFileExA(from, to, static_cast<::DWORD>(flags));
    const ::DWORD reason = ::GetLastError();
    if (moved) {
        ForgetPendingTemp(from);
        // A write-through move returns once the new entry is on the disk.
        if ((flags & MOVEFILE_WRITE_THROUGH) != 0) {
            ++folderFlushes;
        }
    }
    ::ReleaseSRWLockExclusive(&pendingLock);
    if (!moved) {
        ::SetLastError(reason);
        return FALSE;
    }
    kept.Restore();
    return TRUE;
}

}  // namespace platform
