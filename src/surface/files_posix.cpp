// File objects on POSIX: opening, reading, writing, closing and deleting
// files through descriptors, with the access and creation dispositions of
// the platform's calls and its codes for what fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "surface/port_posix.h"
#include "surface/stream_replay.h"
#include "surface/system_calls_posix.h"
#include "threads/parts.h"

namespace platform {

namespace {

struct FileObject {
    int fd = -1;
    bool writeThrough = false;
    bool regular = false;
};

// The handles this port opened, so that a stale or foreign handle is refused
// rather than followed.
struct FileTable {
    std::mutex lock;
    std::unordered_set<const void*> open;
};

FileTable& Files() {
    static FileTable table;
    return table;
}

FileObject* AsFile(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    FileTable& t = Files();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.open.count(handle) != 0 ? static_cast<FileObject*>(handle) : nullptr;
}

// Sets the last-error code from errno and returns `result`.
template <typename T>
T FailWithErrno(T result) {
    SetLastError(MapErrno(errno));
    return result;
}

// A read or write that the handle's access does not allow: the descriptor
// refuses it as a bad one.
BOOL FailTransfer() {
    SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : MapErrno(errno));
    return FALSE;
}

// The open(2) flags for an access and a creation disposition; false for a
// disposition there is none of.
bool OpenFlags(DWORD access, DWORD creation, int* flags) {
    *flags = O_CLOEXEC | O_NOCTTY;
    const bool reading = (access & GENERIC_READ) != 0;
    const bool writing = (access & GENERIC_WRITE) != 0;
    *flags |= reading && writing ? O_RDWR : (writing ? O_WRONLY : O_RDONLY);
    switch (creation) {
        case CREATE_NEW:
            *flags |= O_CREAT | O_EXCL;
            return true;
        case CREATE_ALWAYS:
            *flags |= O_CREAT | O_TRUNC;
            return true;
        case OPEN_EXISTING:
            return true;
        case OPEN_ALWAYS:
            *flags |= O_CREAT;
            return true;
        case TRUNCATE_EXISTING:
            *flags |= O_TRUNC;
            return true;
        default:
            return false;
    }
}

// Registers an open descriptor as a file handle; closes it and returns
// INVALID_HANDLE_VALUE with the code set when it is a folder or no memory is
// left.
HANDLE RegisterFile(int fd, DWORD flagsAndAttributes) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        posix::Close(fd);
        SetLastError(MapErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode)) {
        posix::Close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    FileObject* file =
        posix::Fails(port::SystemCall::kAllocate) ? nullptr : new (std::nothrow) FileObject;
    bool registered = false;
    if (file != nullptr) {
        try {
            FileTable& t = Files();
            std::lock_guard<std::mutex> guard(t.lock);
            t.open.insert(file);
            registered = true;
        } catch (const std::bad_alloc&) {
        }
    }
    if (!registered) {
        delete file;
        posix::Close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    file->fd = fd;
    file->writeThrough = (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) != 0;
    file->regular = S_ISREG(st.st_mode);
    return file;
}

}  // namespace

namespace posix {

int FlushFileData(int fd) {
    port::CountDataFlush();
    return FlushData(fd);
}

void FlushFolder(int dir) {
    const int fd = OpenAt(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        port::CountFolderFlush();
        FlushAll(fd);
        Close(fd);
    }
}

}  // namespace posix

}  // namespace platform

long platform::port::LiveFiles() {
    FileTable& t = Files();
    std::lock_guard<std::mutex> guard(t.lock);
    return static_cast<long>(t.open.size());
}

platform::HANDLE platform::CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                                       SECURITY_ATTRIBUTES* security, DWORD creation,
                                       DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)shareMode;  // POSIX has no mandatory sharing modes
    (void)security;
    (void)templateFile;
    if (path == nullptr || path[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int flags = 0;
    if (!OpenFlags(access, creation, &flags)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool writing = (access & GENERIC_WRITE) != 0;
    if (!writing) {
        // A stream the image loader read and could not use is read again.
        if (HANDLE replayed = replay::Open(path); replayed != nullptr) {
            return replayed;
        }
    }
    return port::Guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        if (writing) {
            posix::PrepareSignals();
            // A temporary without a name yet is reached through its descriptor.
            const int unnamed = posix::OpenUnnamed(path);
            if (unnamed == -1) {
                return FailWithErrno(INVALID_HANDLE_VALUE);
            }
            if (unnamed >= 0) {
                if ((flags & O_TRUNC) != 0 && posix::Truncate(unnamed, 0) != 0) {
                    const int err = errno;
                    posix::Close(unnamed);
                    SetLastError(MapErrno(err));
                    return INVALID_HANDLE_VALUE;
                }
                return RegisterFile(unnamed, flagsAndAttributes);
            }
        }
        const posix::Located at(path);
        if (at.error() != ERROR_SUCCESS) {
            SetLastError(at.error());
            return INVALID_HANDLE_VALUE;
        }
        // Opening a FIFO for reading waits for its writer, as every reader
        // of a FIFO does.
        int fd;
        do {
            fd = posix::OpenAt(at.dir(), at.leaf(), flags, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            return FailWithErrno(INVALID_HANDLE_VALUE);
        }
        return RegisterFile(fd, flagsAndAttributes);
    });
}

platform::BOOL platform::ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, DWORD* read,
                                  OVERLAPPED* overlapped) {
    (void)overlapped;
    if (replay::Owns(handle)) {
        return replay::Read(handle, buffer, toRead, read);
    }
    FileObject* file = AsFile(handle);
    if (read != nullptr) {
        *read = 0;
    }
    if (file == nullptr || (buffer == nullptr && toRead != 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    // Large reads from a regular file are shared out between the cores: the
    // system's copy into fresh pages (and its clearing of them) is most of
    // the time of reading a large picture.
    if (toRead >= veerpic::threads::kSharedBytes && file->regular) {
        const off_t at = lseek(file->fd, 0, SEEK_CUR);
        if (at >= 0) {
            const std::int64_t got = posix::ReadShared(file->fd, out, toRead, at);
            if (got < 0) {
                return FailWithErrno(FALSE);
            }
            // The file position moves past what was read, as after one read.
            if (lseek(file->fd, at + static_cast<off_t>(got), SEEK_SET) < 0) {
                return FailWithErrno(FALSE);
            }
            if (read != nullptr) {
                *read = static_cast<DWORD>(got);
            }
            return TRUE;
        }
    }
    DWORD done = 0;
    while (done < toRead) {
        const ssize_t n = posix::Read(file->fd, out + done, toRead - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailTransfer();
        }
        if (n == 0) {
            break;  // the end of the file: a short read still succeeds
        }
        done += static_cast<DWORD>(n);
    }
    if (read != nullptr) {
        *read = done;
    }
    return TRUE;
}

platform::BOOL platform::WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, DWORD* written,
                                   OVERLAPPED* overlapped) {
    (void)overlapped;
    FileObject* file = AsFile(handle);
    if (written != nullptr) {
        *written = 0;
    }
    if (file == nullptr || (buffer == nullptr && toWrite != 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        const ssize_t n = posix::Write(file->fd, in + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (written != nullptr) {
                *written = done;
            }
            return FailTransfer();
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    // Write-through: the bytes are on the disk before the call returns.
    if (file->writeThrough && file->regular && toWrite != 0 &&
        posix::FlushFileData(file->fd) != 0) {
        return FailWithErrno(FALSE);
    }
    return TRUE;
}

platform::BOOL platform::GetFileSizeEx(HANDLE handle, std::int64_t* size) {
    if (replay::Owns(handle)) {
        return replay::Size(handle, size);
    }
    FileObject* file = AsFile(handle);
    if (file == nullptr || size == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    struct stat st {};
    if (fstat(file->fd, &st) != 0) {
        return FailWithErrno(FALSE);
    }
    *size = S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : 0;
    return TRUE;
}

platform::BOOL platform::CloseHandle(HANDLE handle) {
    if (replay::Owns(handle)) {
        return replay::Close(handle);
    }
    FileObject* file = AsFile(handle);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        FileTable& t = Files();
        std::lock_guard<std::mutex> guard(t.lock);
        t.open.erase(file);
    }
    const int result = posix::Close(file->fd);
    const int err = errno;
    delete file;
    if (result != 0 && err != EINTR) {
        SetLastError(MapErrno(err));
        return FALSE;
    }
    return TRUE;
}

platform::BOOL platform::DeleteFileA(LPCSTR path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port::Guarded(FALSE, [&]() -> BOOL {
        // A pending temporary goes with its entry in the table, named or not.
        if (posix::IsPending(path)) {
            if (const int err = posix::DiscardPending(path); err != 0) {
                SetLastError(MapErrno(err));
                return FALSE;
            }
            return TRUE;
        }
        const posix::Located at(path);
        if (at.error() != ERROR_SUCCESS) {
            SetLastError(at.error());
            return FALSE;
        }
        struct stat st {};
        if (fstatat(at.dir(), at.leaf(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (posix::UnlinkAt(at.dir(), at.leaf()) != 0) {
            return FailWithErrno(FALSE);
        }
        return TRUE;
    });
}
