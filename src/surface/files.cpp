// The file services over the port's primitives: one table of open files, the
// same checks and codes on every system, reads and writes at a position the
// file keeps itself, paths split the same way, and the registry of names the
// system has not given (services.h).
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "surface/services.h"
#include "surface/testing.h"
#include "threads/parts.h"

namespace platform {

namespace {

namespace threads = veerpic::threads;
using detail::Fail;

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
std::atomic<long> dataFlushes{0};
std::atomic<long> folderFlushes{0};

FileObject* AsFile(HANDLE handle) {
    return openFiles.Has(handle) ? static_cast<FileObject*>(handle) : nullptr;
}

// The pending temporaries. The termination clean-up reads the table from a
// signal handler or another thread, so it changes only while termination
// is held back.
constexpr int kMaxPending = 16;
detail::Pending pending[kMaxPending];
volatile std::sig_atomic_t pendingUsed[kMaxPending] = {};

// Only calls a termination handler may make: the process may be anywhere.
void RemovePending() {
    for (int i = 0; i < kMaxPending; ++i) {
        if (pendingUsed[i] != 0 && !pending[i].vanishes) {
            port::RemoveInHandler(pending[i].path.c_str());
        }
    }
}

// The stream kept for a second reading, one at a time (a run reads one
// input); it stays among the open files until it is read again or replaced.
std::mutex keptLock;
std::string keptPath;
FileObject* keptFile = nullptr;

FileObject* TakeKept(LPCSTR path) {
    std::lock_guard<std::mutex> hold(keptLock);
    return keptFile != nullptr && keptPath == path ? std::exchange(keptFile, nullptr) : nullptr;
}

// Opens a pending temporary as the file it is, named or not, into `file`.
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
    code = code == ERROR_SUCCESS && identity.kind == port::Identity::Kind::kFolder
               ? ERROR_ACCESS_DENIED
               : code;
    FileObject* object = nullptr;
    if (code == ERROR_SUCCESS) {
        object =
            InjectedFault(SystemCall::kAllocate) != 0 ? nullptr : new (std::nothrow) FileObject;
        code = object == nullptr || !openFiles.Add(object) ? ERROR_NOT_ENOUGH_MEMORY : code;
    }
    if (code != ERROR_SUCCESS) {
        delete object;
        return Fail(code, INVALID_HANDLE_VALUE);
    }
    object->access = access;
    object->regular = identity.kind == port::Identity::Kind::kRegular;
    object->writeThrough = (flags & FILE_FLAG_WRITE_THROUGH) != 0;
    object->file = file.release();
    return object;
}

// Reads [first, end) of the file's bytes from its position on, into `out`,
// until the end of the file: at the position for a regular file, else from
// the stream.
port::Code ReadRange(const FileObject& f, std::uint8_t* out, DWORD first, DWORD end, DWORD* got) {
    port::Code code = ERROR_SUCCESS;
    for (DWORD n = 1; code == ERROR_SUCCESS && n != 0 && first + *got < end; *got += n) {
        code = f.regular ? port::ReadAt(f.file, out + first + *got, end - first - *got,
                                        f.position + first + *got, &n)
                         : port::Read(f.file, out + first + *got, end - first - *got, &n);
    }
    return code;
}

// Reads `count` bytes. A large read of a regular file is shared out between
// the cores, since the system's copy into fresh pages is most of the time of
// reading a large picture; the bytes read are those one read would give. A
// kept stream's bytes come first.
port::Code Read(FileObject& f, std::uint8_t* out, DWORD count, DWORD* done) {
    *done = 0;
    if (f.kept != nullptr) {
        *done = static_cast<DWORD>(std::min<std::size_t>(f.keptSize - f.keptAt, count));
        std::memcpy(out, f.kept + f.keptAt, *done);
        f.keptAt += *done;
        if (f.keptEnded) {
            return ERROR_SUCCESS;
        }
    }
    constexpr int kMaxParts = 8;
    const int parts = f.regular && count >= threads::kSharedBytes ? threads::CoresToUse() : 1;
    const DWORD from = *done;
    const auto start = [&](int part) {
        return from + threads::PartStart(count - from, part, parts);
    };
    DWORD got[kMaxParts] = {};
    port::Code failure[kMaxParts] = {};
    threads::RunParts(parts, [&](int part) {
        failure[part] = ReadRange(f, out, start(part), start(part + 1), &got[part]);
    });
    for (int part = 0; part < parts; ++part) {
        if (failure[part] != ERROR_SUCCESS) {
            return failure[part];
        }
        *done += got[part];
        if (got[part] < start(part + 1) - start(part)) {
            break;  // the end of the file
        }
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
    for (int i = 0; i < kMaxPending; ++i) {
        if (pendingUsed[i] != 0 && pending[i].path == path) {
            return &pending[i];
        }
    }
    return nullptr;
}

port::Code KeepPending(Pending& temp) {
    // A file that has its name for good (a named temporary, a file taken on
    // as one) needs nothing.
    const HeldTermination held;
    const port::Code code =
        temp.vanishes ? port::KeepTemporary(temp.file, temp.path.c_str()) : ERROR_SUCCESS;
    temp.vanishes = temp.vanishes && code != ERROR_SUCCESS;
    return code;
}

void ForgetPending(const char* path) {
    const HeldTermination held;
    if (Pending* temp = FindPending(path); temp != nullptr) {
        pendingUsed[temp - pending] = 0;
        port::Close(std::exchange(temp->file, port::kNoFile));
    }
}

port::Code DiscardPending(const char* path) {
    const Pending* temp = FindPending(path);
    const port::Code code = temp == nullptr  ? ERROR_FILE_NOT_FOUND
                            : temp->vanishes ? ERROR_SUCCESS
                                             : port::Unlink(path);
    if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND) {
        return code;  // it stays pending
    }
    ForgetPending(path);
    return temp == nullptr ? code : ERROR_SUCCESS;
}

void PrepareTermination() {
    port::TakeOverTermination(RemovePending);
}

void KeepStream(LPCSTR path, HANDLE handle, std::uint8_t* bytes, std::size_t size, bool ended) {
    FileObject* file = AsFile(handle);
    if (file == nullptr) {
        std::free(bytes);
        return;
    }
    file->kept = bytes;
    file->keptSize = size;
    file->keptEnded = ended;
    HANDLE previous = handle;  // where nothing can be kept, the reader reads the stream as it is
    try {
        std::lock_guard<std::mutex> hold(keptLock);
        keptPath = path;
        previous = std::exchange(keptFile, file);
    } catch (const std::bad_alloc&) {
    }
    if (previous != nullptr) {
        CloseHandle(previous);
    }
}

void CountDataFlush() {
    ++dataFlushes;
}

void CountFolderFlush() {
    ++folderFlushes;
}

long LiveFiles() {
    return openFiles.Count();
}

long PendingTemporaries() {
    return static_cast<long>(std::count(std::begin(pendingUsed), std::end(pendingUsed), 1));
}

bool EndsInSeparator(const std::string& path) {
    bool last = false;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const bool lead = port::IsLeadByte(path[i]) && i + 1 < path.size();
        last = !lead && port::IsSeparator(path[i]);
        i += lead ? 1 : 0;  // a trail byte goes with its lead byte
    }
    return last;
}

}  // namespace detail

// The last name goes, and the separator before it, but for the root's own:
// "/", "\\" and "C:\\" stay, and "C:name" keeps its drive.
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
        return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    return detail::Guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        if (FileObject* kept = (access & GENERIC_WRITE) == 0 ? TakeKept(path) : nullptr) {
            return kept;
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
                                     : Fail(code, INVALID_HANDLE_VALUE);
    });
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    (void)overlapped;
    FileObject* file = AsFile(handle);
    DWORD done = 0;
    const port::Code code = file == nullptr || (buffer == nullptr && toRead != 0)
                                ? ERROR_INVALID_HANDLE
                            : (file->access & GENERIC_READ) == 0
                                ? ERROR_ACCESS_DENIED
                                : Read(*file, static_cast<std::uint8_t*>(buffer), toRead, &done);
    if (read != nullptr) {
        *read = code == ERROR_SUCCESS ? done : 0;
    }
    if (code != ERROR_SUCCESS) {
        return Fail(code, FALSE);
    }
    file->position += done;
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, DWORD* written,
               OVERLAPPED* overlapped) {
    (void)overlapped;
    FileObject* file = AsFile(handle);
    port::Code code = file == nullptr || (buffer == nullptr && toWrite != 0) ? ERROR_INVALID_HANDLE
                      : (file->access & GENERIC_WRITE) == 0                  ? ERROR_ACCESS_DENIED
                                                                             : ERROR_SUCCESS;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    // A block that is a view of a section's memory file goes from that file
    // while the block still shows it: the same bytes, none of them mapped.
    port::File from = port::kNoFile;
    std::uint64_t offset = 0;
    if (code == ERROR_SUCCESS && file->regular && toWrite != 0) {
        detail::ViewOfSection(in, toWrite, &from, &offset);
    }
    DWORD done = 0;
    for (DWORD n = 1; code == ERROR_SUCCESS && done < toWrite; done += n) {
        code = from == port::kNoFile
                   ? ERROR_NOT_SUPPORTED
                   : port::WriteFromView(file->file, from, offset + done, in + done, toWrite - done,
                                         file->position + done, &n);
        if (code == ERROR_NOT_SUPPORTED) {
            from = port::kNoFile;  // from memory, from here on
            code = file->regular ? port::WriteAt(file->file, in + done, toWrite - done,
                                                 file->position + done, &n)
                                 : port::Write(file->file, in + done, toWrite - done, &n);
        }
        // Nothing taken and no reason given: a full device.
        code = code == ERROR_SUCCESS && n == 0 ? ERROR_DISK_FULL : code;
    }
    if (written != nullptr) {
        *written = done;
    }
    if (file != nullptr) {
        file->position += done;
    }
    // Write-through: the bytes are on the disk before the call returns.
    if (code == ERROR_SUCCESS && file->writeThrough && file->regular && toWrite != 0) {
        detail::CountDataFlush();
        code = port::Flush(file->file);
    }
    return code == ERROR_SUCCESS ? TRUE : Fail(code, FALSE);
}

BOOL GetFileSizeEx(HANDLE handle, std::int64_t* size) {
    FileObject* file = AsFile(handle);
    port::Identity identity;  // a pipe's or a device's length is not known: 0
    const port::Code code = file == nullptr || size == nullptr ? ERROR_INVALID_HANDLE
                            : file->regular                    ? port::Query(file->file, &identity)
                                                               : ERROR_SUCCESS;
    if (code != ERROR_SUCCESS) {
        return Fail(code, FALSE);
    }
    *size = static_cast<std::int64_t>(file->kept != nullptr && file->keptEnded ? file->keptSize
                                                                               : identity.size);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    if (!openFiles.Remove(handle)) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    auto* file = static_cast<FileObject*>(handle);
    const port::Code code = port::Close(file->file);
    std::free(file->kept);
    delete file;
    return code == ERROR_SUCCESS ? TRUE : Fail(code, FALSE);
}

BOOL DeleteFileA(LPCSTR path) {
    if (path == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return detail::Guarded(FALSE, [&]() -> BOOL {
        const port::Code code = detail::FindPending(path) != nullptr ? detail::DiscardPending(path)
                                                                     : port::Unlink(path);
        return code == ERROR_SUCCESS ? TRUE : Fail(code, FALSE);
    });
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (path == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
    }
    return detail::Guarded(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
        std::string target;
        bool held = false;
        port::Identity identity;
        port::Code code = port::FinalPath(path, &target, &held);
        code = code == ERROR_SUCCESS ? port::QueryPath(target.c_str(), &identity) : code;
        code = code == ERROR_SUCCESS && identity.kind == port::Identity::Kind::kMissing
                   ? ERROR_FILE_NOT_FOUND
                   : code;
        if (code != ERROR_SUCCESS) {
            return Fail(code, INVALID_FILE_ATTRIBUTES);
        }
        DWORD attributes = identity.attributes;
        // A file the process holds as one of its own streams is written as one.
        if (held || identity.kind == port::Identity::Kind::kDevice) {
            attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_DEVICE;
        }
        return identity.writable ? attributes
                                 : (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
    });
}

}  // namespace platform
