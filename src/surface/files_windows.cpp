// File objects on Windows: the platform's own calls, with the tool's
// bookkeeping around them (live counts, pending temporaries, the same
// refusals as on other systems).
#include <mutex>
#include <new>
#include <unordered_set>

#include "surface/port_windows.h"
#include "surface/stream_replay.h"

namespace platform {

namespace {

// The handles this port opened, so that a stale or foreign handle is refused
// as on other systems and tests can count what is still open.
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

}  // namespace

}  // namespace platform

long platform::port::LiveFiles() {
    FileTable& t = Files();
    std::lock_guard<std::mutex> guard(t.lock);
    return static_cast<long>(t.open.size());
}

platform::HANDLE platform::CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                                       SECURITY_ATTRIBUTES* security, DWORD creation,
                                       DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)security;  // the tool never passes any
    (void)templateFile;
    if (path == nullptr || path[0] == '\0') {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if ((access & GENERIC_WRITE) == 0) {
        // A stream the image loader read and could not use is read again.
        if (HANDLE replayed = replay::Open(path); replayed != nullptr) {
            return replayed;
        }
    }
    const windows::KeepLastError kept;
    // A pending temporary may be deleted while it is open, so that an
    // interrupt can remove it in the middle of a write.
    if (windows::IsPending(path)) {
        shareMode |= FILE_SHARE_DELETE;
    }
    // A folder fails to open here (ERROR_ACCESS_DENIED) as elsewhere, since
    // FILE_FLAG_BACKUP_SEMANTICS is not passed. Handles are always binary.
    HANDLE file =
        windows::Create(path, static_cast<::DWORD>(access), static_cast<::DWORD>(shareMode),
                        static_cast<::DWORD>(creation), static_cast<::DWORD>(flagsAndAttributes));
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
        FileTable& t = Files();
        {
            std::lock_guard<std::mutex> guard(t.lock);
            t.open.erase(file);
        }
        ::CloseHandle(file);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    kept.Restore();
    return file;
}

platform::BOOL platform::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read,
                                  OVERLAPPED* overlapped) {
    (void)overlapped;
    if (replay::Owns(file)) {
        return replay::Read(file, buffer, toRead, read);
    }
    if (read != nullptr) {
        *read = 0;
    }
    if (!IsOpen(file) || (buffer == nullptr && toRead != 0)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const windows::KeepLastError kept;
    auto* out = static_cast<BYTE*>(buffer);
    DWORD done = 0;
    while (done < toRead) {
        ::DWORD n = 0;
        if (!windows::Read(file, out + done, static_cast<::DWORD>(toRead - done), &n)) {
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

platform::BOOL platform::WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, DWORD* written,
                                   OVERLAPPED* overlapped) {
    (void)overlapped;
    if (written != nullptr) {
        *written = 0;
    }
    if (!IsOpen(file) || (buffer == nullptr && toWrite != 0)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const windows::KeepLastError kept;
    const auto* in = static_cast<const BYTE*>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        ::DWORD n = 0;
        if (!windows::Write(file, in + done, static_cast<::DWORD>(toWrite - done), &n)) {
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

platform::BOOL platform::GetFileSizeEx(HANDLE file, std::int64_t* size) {
    if (replay::Owns(file)) {
        return replay::Size(file, size);
    }
    if (!IsOpen(file) || size == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!IsDisk(file)) {
        *size = 0;  // a pipe or a device: its length is not known
        return TRUE;
    }
    const windows::KeepLastError kept;
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(file, &value)) {
        return FALSE;
    }
    *size = static_cast<std::int64_t>(value.QuadPart);
    kept.Restore();
    return TRUE;
}

platform::BOOL platform::CloseHandle(HANDLE file) {
    if (replay::Owns(file)) {
        return replay::Close(file);
    }
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
    const windows::KeepLastError kept;
    // A written file's data and its size reach the disk before it is closed,
    // so that a file put in place by MoveFileExA afterwards is whole.
    bool flushed = true;
    ::DWORD flushError = 0;
    if (writing && IsDisk(file)) {
        if (windows::Flush(file)) {
            port::CountDataFlush();
        } else {
            flushed = false;
            flushError = ::GetLastError();
        }
    }
    if (!windows::Close(file)) {
        return FALSE;
    }
    if (!flushed) {
        ::SetLastError(flushError);
        return FALSE;
    }
    kept.Restore();
    return TRUE;
}

platform::BOOL platform::DeleteFileA(LPCSTR path) {
    if (path == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const windows::KeepLastError kept;
    if (!windows::Delete(path)) {
        return FALSE;
    }
    windows::ForgetPending(path);
    kept.Restore();
    return TRUE;
}
