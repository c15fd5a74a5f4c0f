// The file services over the port's primitives: one table of open files, the
// same checks and codes on every system, reads and writes at a position the
// file keeps itself, and the registry of names the system has not given.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "surface/services.h"
#include "surface/testing.h"
#include "threads/parts.h"

namespace platform {

namespace {

struct FileObject {
    port::File file = port::kNoFile;
    DWORD access = 0;
    bool regular = false;  // read and written at `position`; other files are streams
    bool writeThrough = false;
    std::uint64_t position = 0;
    // A stream read once before: the bytes read then, given again first.
    std::uint8_t* kept = nullptr;
    std::size_t keptSize = 0;
    std::size_t keptAt = 0;
    bool keptEnded = false;  // the stream ended within them
};

detail::LiveSet openFiles;

FileObject* AsFile(HANDLE handle) {
    return openFiles.Has(handle) ? static_cast<FileObject*>(handle) : nullptr;
}

void Release(FileObject* file) {
    std::free(file->kept);
    delete file;
}

// The pending temporaries. The termination clean-up reads the table from a
// signal handler or another thread, so it changes only while termination
// is held back.
constexpr int kMaxPending = 16;
detail::Pending pending[kMaxPending];
volatile std::sig_atomic_t pendingUsed[kMaxPending] = {};

int FindSlot(const char* path) {
    for (int i = 0; i < kMaxPending; ++i) {
        if (pendingUsed[i] != 0 && pending[i].path == path) {
            return i;
        }
    }
    return -1;
}

// Only calls a termination handler may make: the process may be anywhere.
void RemovePending() {
    for (int i = 0; i < kMaxPending; ++i) {
        if (pendingUsed[i] != 0 && !pending[i].vanishes) {
            port::RemoveInHandler(pending[i].path.c_str());
        }
    }
}

// The stream kept for a second reading: one at a time, as a run reads one input.
std::mutex keptLock;
std::string keptPath;
FileObject* keptFile = nullptr;

// The kept stream of `path`, handed out once; null when none is kept.
FileObject* TakeKept(LPCSTR path) {
    std::lock_guard<std::mutex> hold(keptLock);
    if (keptFile == nullptr || keptPath != path) {
        return nullptr;
    }
    FileObject* file = keptFile;
    keptFile = nullptr;
    return file;
}

std::atomic<long> dataFlushes{0};
std::atomic<long> folderFlushes{0};

// Opens a pending temporary as the file it is, named or not, into `file`
// (which the caller closes on every path).
port::Code OpenPending(const detail::Pending& temp, DWORD creation, port::File* file) {
    if (creation == CREATE_NEW) {
        return ERROR_FILE_EXISTS;
    }
    const port::Code code = port::Duplicate(temp.file, file);
    return code == ERROR_SUCCESS && (creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING)
               ? port::SetLength(*file, 0)
               : code;
}

// Registers the open `file` as a handle; fails with the code set (and the
// file closed) when it is a folder or cannot be registered.
HANDLE MakeHandle(detail::OpenFile& file, DWORD access, DWORD flags) {
    port::Identity identity;
    port::Code code = port::Query(file.get(), &identity);
    if (code == ERROR_SUCCESS && identity.kind == port::Identity::Kind::kFolder) {
        code = ERROR_ACCESS_DENIED;
    }
    FileObject* object = nullptr;
    if (code == ERROR_SUCCESS) {
        object =
            InjectedFault(SystemCall::kAllocate) != 0 ? nullptr : new (std::nothrow) FileObject;
        code = object == nullptr || !openFiles.Add(object) ? ERROR_NOT_ENOUGH_MEMORY : code;
    }
    if (code != ERROR_SUCCESS) {
        delete object;
        return detail::Fail(code, INVALID_HANDLE_VALUE);
    }
    object->access = access;
    object->regular = identity.kind == port::Identity::Kind::kRegular;
    object->writeThrough = (flags & FILE_FLAG_WRITE_THROUGH) != 0;
    object->file = file.release();
    return object;
}

// Reads `count` bytes of a regular file at its position; a large read is
// shared out between the cores, since the system's copy into fresh pages is
// most of the time of reading a large picture. The bytes read are those one
// read would give: a part cut short by the end ends the result there.
port::Code ReadRegular(FileObject& f, std::uint8_t* out, DWORD count, DWORD* done) {
    namespace threads = veerpic::threads;
    constexpr int kMaxParts = 8;
    const int parts = count >= threads::kSharedBytes ? threads::CoresToUse() : 1;
    DWORD got[kMaxParts] = {};
    port::Code failure[kMaxParts] = {};
    threads::RunParts(parts, [&](int part) {
        const DWORD first = threads::PartStart(count, part, parts);
        const DWORD end = threads::PartStart(count, part + 1, parts);
        while (first + got[part] < end && failure[part] == ERROR_SUCCESS) {
            DWORD n = 0;
            failure[part] = port::ReadAt(f.file, out + first + got[part], end - first - got[part],
                                         f.position + first + got[part], &n);
            if (n == 0) {
                break;  // the end of the file
            }
            got[part] += n;
        }
    });
    *done = 0;
    for (int part = 0; part < parts; ++part) {
        if (failure[part] != ERROR_SUCCESS) {
            return failure[part];
        }
        *done += got[part];
        if (got[part] <
            threads::PartStart(count, part + 1, parts) - threads::PartStart(count, part, parts)) {
            break;
        }
    }
    return ERROR_SUCCESS;
}

// Reads a stream until `count` bytes or its end; the bytes of a kept stream
// come first.
port::Code ReadStream(FileObject& f, std::uint8_t* out, DWORD count, DWORD* done) {
    *done = 0;
    if (f.kept != nullptr) {
        const std::size_t held = std::min<std::size_t>(f.keptSize - f.keptAt, count);
        std::memcpy(out, f.kept + f.keptAt, held);
        f.keptAt += held;
        *done = static_cast<DWORD>(held);
        if (f.keptEnded) {
            return ERROR_SUCCESS;
        }
    }
    while (*done < count) {
        DWORD n = 0;
        const port::Code code = port::Read(f.file, out + *done, count - *done, &n);
        if (code != ERROR_SUCCESS) {
            return code;
        }
        if (n == 0) {
            break;
        }
        *done += n;
    }
    return ERROR_SUCCESS;
}

}  // namespace

namespace detail {

port::Code AddPending(const std::string& path, port::File file, bool vanishes) {
    const HeldTermination held;
    for (int i = 0; i < kMaxPending; ++i) {
        if (pendingUsed[i] == 0) {
            try {
                pending[i].path = path;
            } catch (const std::bad_alloc&) {
                return ERROR_NOT_ENOUGH_MEMORY;
            }
            pending[i].file = file;
            pending[i].vanishes = vanishes;
            pendingUsed[i] = 1;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_TOO_MANY_OPEN_FILES;
}

Pending* FindPending(const char* path) {
    const int i = FindSlot(path);
    return i < 0 ? nullptr : &pending[i];
}

port::Code KeepPending(Pending& temp) {
    const HeldTermination held;
    const port::Code code = port::KeepTemporary(temp.file, temp.path.c_str());
    if (code == ERROR_SUCCESS) {
        temp.vanishes = false;
    }
    return code;
}

void ForgetPending(const char* path) {
    const HeldTermination held;
    const int i = FindSlot(path);
    if (i >= 0) {
        pendingUsed[i] = 0;
        port::Close(pending[i].file);
        pending[i].file = port::kNoFile;
    }
}

port::Code DiscardPending(const char* path) {
    Pending* temp = FindPending(path);
    if (temp == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!temp->vanishes) {
        const port::Code code = port::Unlink(path);
        if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND) {
            return code;  // it stays pending
        }
    }
    ForgetPending(path);
    return ERROR_SUCCESS;
}

void PrepareTermination() {
    port::TakeOverTermination(RemovePending);
}

void KeepStream(LPCSTR path, HANDLE handle, std::uint8_t* bytes, std::size_t size, bool ended) {
    if (!openFiles.Remove(handle)) {
        std::free(bytes);
        return;
    }
    auto* file = static_cast<FileObject*>(handle);
    file->kept = bytes;
    file->keptSize = size;
    file->keptEnded = ended;
    FileObject* previous = nullptr;
    try {
        std::lock_guard<std::mutex> hold(keptLock);
        keptPath = path;
        previous = keptFile;
        keptFile = file;
    } catch (const std::bad_alloc&) {
        previous = file;  // nothing kept: the reader reads the stream as it stands
    }
    if (previous != nullptr) {
        port::Close(previous->file);
        Release(previous);
    }
}

void CountDataFlush() {
    ++dataFlushes;
}

void CountFolderFlush() {
    ++folderFlushes;
}

long LiveFiles() {
    const std::lock_guard<std::mutex> hold(keptLock);
    return openFiles.Count() + (keptFile != nullptr ? 1 : 0);  // a kept stream is open too
}

long PendingTemporaries() {
    return static_cast<long>(std::count_if(std::begin(pendingUsed), std::end(pendingUsed),
                                           [](std::sig_atomic_t used) { return used != 0; }));
}

}  // namespace detail

bool detail::EndsInSeparator(const std::string& path) {
    bool last = false;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const bool lead = port::IsLeadByte(path[i]) && i + 1 < path.size();
        last = !lead && port::IsSeparator(path[i]);
        i += lead ? 1 : 0;  // a trail byte goes with its lead byte
    }
    return last;
}

// The last name goes, and the separator before it, but for the root's own:
// "\\" and "C:\\" stay, and "C:name" keeps its drive.
BOOL PathRemoveFileSpecA(LPSTR path) {
    if (path == nullptr) {
        return FALSE;
    }
    std::size_t last = 0;
    std::size_t colon = 0;
    bool found = false;
    bool drive = false;
    for (std::size_t i = 0; path[i] != '\0'; ++i) {
        if (port::IsLeadByte(path[i]) && path[i + 1] != '\0') {
            ++i;  // a trail byte goes with its lead byte
        } else if (port::IsSeparator(path[i])) {
            last = i;
            found = true;
        } else if (port::kDrives && path[i] == ':' && !drive) {
            colon = i;
            drive = true;
        }
    }
    const std::size_t cut = !found                                      ? (drive ? colon + 1 : 0)
                            : last == 0 || (drive && colon + 1 == last) ? last + 1
                                                                        : last;
    const bool removed = path[cut] != '\0';
    path[cut] = '\0';
    return removed ? TRUE : FALSE;
}

FlushCounts GetFlushCounts() {
    return FlushCounts{dataFlushes.load(), folderFlushes.load()};
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD creation, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)security;
    (void)templateFile;
    if (path == nullptr || path[0] == '\0') {
        return detail::Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING) {
        return detail::Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    return detail::Guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        if ((access & GENERIC_WRITE) == 0) {
            if (FileObject* kept = TakeKept(path); kept != nullptr) {
                if (openFiles.Add(kept)) {
                    return kept;
                }
                port::Close(kept->file);
                Release(kept);
                return detail::Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
            }
        }
        detail::OpenFile file;
        port::Code code = ERROR_SUCCESS;
        if (const detail::Pending* temp = detail::FindPending(path); temp != nullptr) {
            code = OpenPending(*temp, creation, file.put());
        } else {
            if ((access & GENERIC_WRITE) != 0) {
                detail::PrepareTermination();
            }
            code = port::Open(path, access, shareMode, creation, file.put());
        }
        return code == ERROR_SUCCESS ? MakeHandle(file, access, flagsAndAttributes)
                                     : detail::Fail(code, INVALID_HANDLE_VALUE);
    });
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    (void)overlapped;
    if (read != nullptr) {
        *read = 0;
    }
    FileObject* file = AsFile(handle);
    if (file == nullptr || (buffer == nullptr && toRead != 0)) {
        return detail::Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if ((file->access & GENERIC_READ) == 0) {
        return detail::Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    DWORD done = 0;
    const port::Code code = file->regular ? ReadRegular(*file, out, toRead, &done)
                                          : ReadStream(*file, out, toRead, &done);
    if (code != ERROR_SUCCESS) {
        return detail::Fail(code, FALSE);
    }
    file->position += done;
    if (read != nullptr) {
        *read = done;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, DWORD* written,
               OVERLAPPED* overlapped) {
    (void)overlapped;
    if (written != nullptr) {
        *written = 0;
    }
    FileObject* file = AsFile(handle);
    if (file == nullptr || (buffer == nullptr && toWrite != 0)) {
        return detail::Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if ((file->access & GENERIC_WRITE) == 0) {
        return detail::Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    port::Code code = ERROR_SUCCESS;
    DWORD done = 0;
    while (done < toWrite && code == ERROR_SUCCESS) {
        DWORD n = 0;
        code = file->regular
                   ? port::WriteAt(file->file, in + done, toWrite - done, file->position + done, &n)
                   : port::Write(file->file, in + done, toWrite - done, &n);
        if (code == ERROR_SUCCESS && n == 0) {
            code = ERROR_DISK_FULL;  // nothing taken and no reason given: a full device
        }
        done += n;
    }
    file->position += done;
    if (written != nullptr) {
        *written = done;
    }
    // Write-through: the bytes are on the disk before the call returns.
    if (code == ERROR_SUCCESS && file->writeThrough && file->regular && toWrite != 0) {
        detail::CountDataFlush();
        code = port::Flush(file->file);
    }
    return code == ERROR_SUCCESS ? TRUE : detail::Fail(code, FALSE);
}

BOOL GetFileSizeEx(HANDLE handle, std::int64_t* size) {
    FileObject* file = AsFile(handle);
    if (file == nullptr || size == nullptr) {
        return detail::Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    *size = 0;  // a pipe or a device: its length is not known
    if (file->kept != nullptr) {
        *size = file->keptEnded ? static_cast<std::int64_t>(file->keptSize) : 0;
    } else if (file->regular) {
        port::Identity identity;
        if (const port::Code code = port::Query(file->file, &identity); code != ERROR_SUCCESS) {
            return detail::Fail(code, FALSE);
        }
        *size = static_cast<std::int64_t>(identity.size);
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    if (!openFiles.Remove(handle)) {
        return detail::Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    auto* file = static_cast<FileObject*>(handle);
    const port::Code code = port::Close(file->file);
    Release(file);
    return code == ERROR_SUCCESS ? TRUE : detail::Fail(code, FALSE);
}

BOOL DeleteFileA(LPCSTR path) {
    if (path == nullptr) {
        return detail::Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return detail::Guarded(FALSE, [&]() -> BOOL {
        const port::Code code = detail::FindPending(path) != nullptr ? detail::DiscardPending(path)
                                                                     : port::Unlink(path);
        return code == ERROR_SUCCESS ? TRUE : detail::Fail(code, FALSE);
    });
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (path == nullptr) {
        return detail::Fail(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
    }
    return detail::Guarded(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
        std::string target;
        bool held = false;
        port::Identity identity;
        port::Code code = port::FinalPath(path, &target, &held);
        if (code == ERROR_SUCCESS) {
            code = port::QueryPath(target.c_str(), &identity);
        }
        if (code == ERROR_SUCCESS && identity.kind == port::Identity::Kind::kMissing) {
            code = ERROR_FILE_NOT_FOUND;
        }
        if (code != ERROR_SUCCESS) {
            return detail::Fail(code, INVALID_FILE_ATTRIBUTES);
        }
        DWORD attributes = identity.attributes;
        // A file the process holds as one of its own streams is written as one.
        if (held || identity.kind == port::Identity::Kind::kDevice) {
            attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_DEVICE;
        }
        if (!identity.writable) {
            attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
        }
        return attributes;
    });
}

}  // namespace platform
