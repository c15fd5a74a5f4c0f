// The POSIX port's files and names: descriptors opened relative to their
// folder, what a file is, and where a path's links lead.
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/statfs.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <utility>

#include "surface/system_calls_posix.h"

namespace platform {

namespace {

using port::Code;
using posix::Call;
using posix::CodeOf;

constexpr long kProcSuperMagic = 0x9fa0;  // the process file system (/proc)

int OpenFlags(DWORD access, DWORD creation) {
    const bool reading = (access & GENERIC_READ) != 0;
    const bool writing = (access & GENERIC_WRITE) != 0;
    if (!reading && !writing && creation == OPEN_EXISTING) {
        return O_PATH | O_CLOEXEC;  // only to ask about it: no permission needed
    }
    const int flags =
        O_CLOEXEC | O_NOCTTY | (reading && writing ? O_RDWR : (writing ? O_WRONLY : 0));
    switch (creation) {
        case CREATE_NEW:
            return flags | O_CREAT | O_EXCL;
        case CREATE_ALWAYS:
            return flags | O_CREAT | O_TRUNC;
        case OPEN_ALWAYS:
            return flags | O_CREAT;
        case TRUNCATE_EXISTING:
            return flags | O_TRUNC;
        default:
            return flags;
    }
}

void Describe(const struct stat& st, port::Identity* identity) {
    using Kind = port::Identity::Kind;
    const bool regular = S_ISREG(st.st_mode);
    identity->kind =
        regular ? Kind::kRegular : (S_ISDIR(st.st_mode) ? Kind::kFolder : Kind::kDevice);
    identity->volume = st.st_dev;
    identity->number = st.st_ino;
    identity->size = regular ? static_cast<std::uint64_t>(st.st_size) : 0;
    identity->links = static_cast<std::uint32_t>(st.st_nlink);
    identity->owner = st.st_uid;
    identity->group = st.st_gid;
    identity->mode = st.st_mode & 07777;
    identity->attributes =
        regular ? FILE_ATTRIBUTE_NORMAL : (S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0);
}

// Whether the system's protection of links in sticky folders that everyone
// may write (fs.protected_symlinks) refuses to follow `link` in the folder
// `dir`: there only its owner follows it, or anyone where the folder's owner
// owns it too. Where the setting cannot be read, it is taken to be on.
bool ProtectionRefuses(int dir, const struct stat& link) {
    int setting = 1;
    if (std::FILE* f = std::fopen("/proc/sys/fs/protected_symlinks", "re"); f != nullptr) {
        setting = std::fscanf(f, "%d", &setting) == 1 ? setting : 1;
        std::fclose(f);
    }
    struct stat folder {};
    const bool known = (dir == AT_FDCWD ? stat(".", &folder) : fstat(dir, &folder)) == 0;
    return setting != 0 && known && (folder.st_mode & S_ISVTX) != 0 &&
           (folder.st_mode & S_IWOTH) != 0 && link.st_uid != geteuid() &&
           link.st_uid != folder.st_uid;
}

// Whether the link is one of the process's descriptor links, on /proc.
bool OnProc(const posix::Located& at) {
    const int link =
        Call(SystemCall::kOpen, -1, ::openat, at.dir(), at.leaf(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct statfs fs {};
    const bool onProc = link >= 0 && fstatfs(link, &fs) == 0 && fs.f_type == kProcSuperMagic;
    if (link >= 0) {
        posix::Close(link);
    }
    return onProc;
}

// Whether the `bytes` at `view`, in a private view of a file, all still show
// the file: the process's page map marks a page the view wrote as the
// process's own (present and not a file's) or as swapped out. The map is
// believed only where it shows a page just written on the stack as the
// process's own (an emulator's map of its host's pages does not).
bool ViewUnwritten(const void* view, std::size_t bytes) {
    constexpr std::uint64_t kPresent = 1ull << 63, kSwapped = 1ull << 62, kFilePage = 1ull << 61;
    const std::uintptr_t page = port::PageSize();
    const int map = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    std::uint64_t entries[512];
    const auto read = [&](std::uintptr_t first, std::size_t n) {  // n pages' entries
        const std::size_t size = n * sizeof *entries;
        return pread(map, entries, size, static_cast<off_t>(first * sizeof *entries)) ==
               static_cast<ssize_t>(size);
    };
    volatile std::uint64_t own = 1;
    bool unwritten = map >= 0 && read(reinterpret_cast<std::uintptr_t>(&own) / page, 1) &&
                     (entries[0] & (kPresent | kFilePage)) == kPresent;
    const auto start = reinterpret_cast<std::uintptr_t>(view);
    const std::uintptr_t end = (start + bytes + page - 1) / page;
    for (std::uintptr_t p = start / page; unwritten && p < end; p += std::size(entries)) {
        const std::size_t n = std::min<std::uintptr_t>(std::size(entries), end - p);
        unwritten = read(p, n);
        for (std::size_t i = 0; unwritten && i < n; ++i) {
            unwritten =
                (entries[i] & kSwapped) == 0 && (entries[i] & (kPresent | kFilePage)) != kPresent;
        }
    }
    if (map >= 0) {
        ::close(map);
    }
    return unwritten;
}

// One read or write, made again while it is interrupted.
template <typename Function, typename... Args>
Code Transfer(SystemCall seam, Function function, DWORD* done, Args... args) {
    ssize_t n;
    while ((n = Call(seam, ssize_t{-1}, function, args...)) < 0 && errno == EINTR) {
    }
    *done = n < 0 ? 0 : static_cast<DWORD>(n);
    return CodeOf(n >= 0);
}

}  // namespace

port::Code posix::MapErrno(int err) {
    static const std::pair<int, DWORD> kTable[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
        {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED},
        {EISDIR, ERROR_ACCESS_DENIED},
        {EBADF, ERROR_INVALID_HANDLE},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EROFS, ERROR_WRITE_PROTECT},
        {EXDEV, ERROR_NOT_SAME_DEVICE},
        {ETXTBSY, ERROR_BUSY},
        {EBUSY, ERROR_BUSY},
        {EEXIST, ERROR_FILE_EXISTS},
        {EINVAL, ERROR_INVALID_PARAMETER},
        {EPIPE, ERROR_BROKEN_PIPE},
        {ENOSPC, ERROR_DISK_FULL},
        {EDQUOT, ERROR_DISK_FULL},
        {EFBIG, ERROR_FILE_TOO_LARGE},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
        {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
        {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
        {EIO, ERROR_IO_DEVICE},
        {ENXIO, ERROR_GEN_FAILURE},
        {ENODEV, ERROR_GEN_FAILURE},
        {ESPIPE, ERROR_NEGATIVE_SEEK},
        {ENOTSUP, ERROR_NOT_SUPPORTED},
        {ENOSYS, ERROR_NOT_SUPPORTED},
        {ENOLCK, ERROR_NOT_SUPPORTED},
    };
    for (const auto& [value, code] : kTable) {
        if (value == err) {
            return code;
        }
    }
    return ERROR_GEN_FAILURE;
}

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD code) {
    lastError = code;
}

namespace port {

Code Open(const char* path, DWORD access, DWORD share, DWORD creation, File* file) {
    (void)share;  // POSIX has no mandatory sharing
    const posix::Located at(path);
    int fd = -1;
    // Opening a FIFO for reading waits for its writer, as every reader of one does.
    while (at.error() == ERROR_SUCCESS &&
           (fd = Call(SystemCall::kOpen, -1, ::openat, at.dir(), at.leaf(),
                      OpenFlags(access, creation), 0666)) < 0 &&
           errno == EINTR) {
    }
    *file = fd;
    return at.error() != ERROR_SUCCESS ? at.error() : CodeOf(fd >= 0);
}

Code Duplicate(File file, File* copy) {
    *copy = fcntl(static_cast<int>(file), F_DUPFD_CLOEXEC, 0);
    return CodeOf(*copy >= 0);
}

Code Close(File file) {
    // An interrupted close has closed the descriptor all the same.
    return CodeOf(posix::Close(static_cast<int>(file)) == 0 || errno == EINTR);
}

Code Read(File file, void* buffer, DWORD count, DWORD* done) {
    return Transfer(SystemCall::kRead, ::read, done, static_cast<int>(file), buffer, count);
}

Code ReadAt(File file, void* buffer, DWORD count, std::uint64_t at, DWORD* done) {
    return Transfer(SystemCall::kReadAt, ::pread, done, static_cast<int>(file), buffer, count,
                    static_cast<off_t>(at));
}

Code Write(File file, const void* buffer, DWORD count, DWORD* done) {
    return Transfer(SystemCall::kWrite, ::write, done, static_cast<int>(file), buffer, count);
}

Code WriteAt(File file, const void* buffer, DWORD count, std::uint64_t at, DWORD* done) {
    return Transfer(SystemCall::kWriteAt, ::pwrite, done, static_cast<int>(file), buffer, count,
                    static_cast<off_t>(at));
}

Code WriteFromView(File file, File from, std::uint64_t offset, const void* view, DWORD count,
                   std::uint64_t at, DWORD* done) {
    *done = 0;
    const int out = static_cast<int>(file);
    const off_t position = lseek(out, 0, SEEK_CUR);
    // sendfile writes at the file's own position, which is put back after.
    if (count == 0 || position < 0 || !ViewUnwritten(view, count) ||
        lseek(out, static_cast<off_t>(at), SEEK_SET) < 0) {
        return ERROR_NOT_SUPPORTED;
    }
    auto in = static_cast<off_t>(offset);
    ssize_t n;
    while ((n = Call(SystemCall::kWriteAt, ssize_t{-1}, ::sendfile, out, static_cast<int>(from),
                     &in, std::size_t{count})) < 0 &&
           errno == EINTR) {
    }
    const int err = errno;
    (void)lseek(out, position, SEEK_SET);
    if (n < 0 && (err == EINVAL || err == ENOSYS)) {
        return ERROR_NOT_SUPPORTED;  // a file sendfile does not write
    }
    errno = err;
    *done = n < 0 ? 0 : static_cast<DWORD>(n);
    return CodeOf(n >= 0);
}

Code Flush(File file) {
    return CodeOf(Call(SystemCall::kFlush, -1, ::fdatasync, static_cast<int>(file)) == 0);
}

Code SetLength(File file, std::uint64_t length) {
    return CodeOf(Call(SystemCall::kReserve, -1, ::ftruncate, static_cast<int>(file),
                       static_cast<off_t>(length)) == 0);
}

Code Reserve(File file, std::uint64_t length) {
    return CodeOf(Call(SystemCall::kReserve, -1, ::fallocate, static_cast<int>(file),
                       FALLOC_FL_KEEP_SIZE, off_t{0}, static_cast<off_t>(length)) == 0);
}

Code Lock(File file) {
    int result;
    while ((result = Call(SystemCall::kLock, -1, ::flock, static_cast<int>(file), LOCK_EX)) != 0 &&
           errno == EINTR) {
    }
    return CodeOf(result == 0);
}

Code Query(File file, Identity* identity) {
    struct stat st {};
    if (fstat(static_cast<int>(file), &st) != 0) {
        return CodeOf(false);
    }
    Describe(st, identity);
    identity->writable = (st.st_mode & 0222) != 0;
    return ERROR_SUCCESS;
}

Code QueryPath(const char* path, Identity* identity) {
    *identity = Identity{};
    const posix::Located at(path);
    struct stat st {};
    if (at.error() != ERROR_SUCCESS || fstatat(at.dir(), at.leaf(), &st, 0) != 0) {
        // Nothing stands there; or the folder is missing, which the caller is told.
        return at.error() != ERROR_SUCCESS ? at.error()
                                           : (errno == ENOENT ? ERROR_SUCCESS : CodeOf(false));
    }
    Describe(st, identity);
    identity->writable = faccessat(at.dir(), at.leaf(), W_OK, AT_EACCESS) == 0;
    return ERROR_SUCCESS;
}

Code TakeIdentity(File file, const Identity* old) {
    const int fd = static_cast<int>(file);
    if (old == nullptr) {
        const mode_t mask = umask(0);
        umask(mask);
        return CodeOf(Call(SystemCall::kMode, -1, ::fchmod, fd, 0666 & ~mask) == 0);
    }
    // Only a privileged process may give a file away, and some file systems
    // have no modes; the set-ID bits follow the owner, never reaching a file
    // of another.
    struct stat mine {};
    const bool kept =
        fstat(fd, &mine) == 0 &&
        ((mine.st_uid == old->owner && mine.st_gid == old->group) ||
         Call(SystemCall::kOwner, -1, ::fchown, fd, old->owner, old->group) == 0) &&
        Call(SystemCall::kMode, -1, ::fchmod, fd, static_cast<mode_t>(old->mode)) == 0;
    return kept ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

Code Unlink(const char* path) {
    const posix::Located at(path);
    return at.error() != ERROR_SUCCESS
               ? at.error()
               : CodeOf(Call(SystemCall::kUnlink, -1, ::unlinkat, at.dir(), at.leaf(), 0) == 0);
}

Code RenameOver(const char* from, const char* to) {
    const posix::Located src(from);
    const posix::Located dst(to);
    if (src.error() != ERROR_SUCCESS || dst.error() != ERROR_SUCCESS) {
        return src.error() != ERROR_SUCCESS ? src.error() : dst.error();
    }
    return CodeOf(Call(SystemCall::kRename, -1, ::renameat, src.dir(), src.leaf(), dst.dir(),
                       dst.leaf()) == 0);
}

Code FlushFolder(const char* folder) {
    const int fd =
        Call(SystemCall::kOpen, -1, ::openat, AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const Code code = CodeOf(fd >= 0 && Call(SystemCall::kFlush, -1, ::fsync, fd) == 0);
    if (fd >= 0) {
        posix::Close(fd);
    }
    return code;
}

Code FinalPath(const char* path, std::string* target, bool* held) {
    *target = path;
    *held = false;
    for (int hops = 0; hops <= 40; ++hops) {
        const posix::Located at(target->c_str());
        struct stat link {};
        if (at.error() != ERROR_SUCCESS ||
            fstatat(at.dir(), at.leaf(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(link.st_mode)) {
            return ERROR_SUCCESS;  // the end; a name that cannot be reached fails where it is used
        }
        if (OnProc(at)) {
            *held = true;  // /dev/stdout, /dev/fd/N: a stream the process holds
            return ERROR_SUCCESS;
        }
        if (ProtectionRefuses(at.dir(), link)) {
            return ERROR_ACCESS_DENIED;
        }
        std::string next(4096, '\0');
        const ssize_t n = readlinkat(at.dir(), at.leaf(), next.data(), next.size());
        if (n < 0) {
            return CodeOf(false);
        }
        next.resize(static_cast<std::size_t>(n));
        if (next.empty() || next.front() != '/') {
            next = target->substr(0, static_cast<std::size_t>(at.leaf() - target->c_str())) + next;
        }
        *target = next;
    }
    return ERROR_CANT_RESOLVE_FILENAME;
}

bool IsSeparator(char c) {
    return c == '/';
}

bool IsLeadByte(char c) {
    (void)c;
    return false;
}

// The system's folder, never one an environment variable names.
std::string TemporaryFolder() {
    return "/tmp";
}

std::uint64_t FileSizeLimit() {
    struct rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
               ? static_cast<std::uint64_t>(limit.rlim_cur)
               : UINT64_MAX;
}

std::uint64_t UniqueSeed() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<std::uint64_t>(getpid()) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
           (static_cast<std::uint64_t>(now.tv_sec) << 20);
}

}  // namespace port

}  // namespace platform
