// The POSIX port's files and names: descriptors opened relative to their
// folder, reads and writes, what a file is, locks and room, and where a
// path's links lead; errno turned into the platform's codes.
#include <sys/resource.h>
#include <sys/statfs.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "surface/system_calls_posix.h"

namespace platform {

namespace {

using port::Code;
using posix::LastCode;

constexpr long kProcSuperMagic = 0x9fa0;  // the process file system (/proc)

int OpenFlags(DWORD access, DWORD creation) {
    const bool reading = (access & GENERIC_READ) != 0;
    const bool writing = (access & GENERIC_WRITE) != 0;
    int flags = O_CLOEXEC | O_NOCTTY | (reading && writing ? O_RDWR : (writing ? O_WRONLY : 0));
    if (!reading && !writing && creation == OPEN_EXISTING) {
        return O_PATH | O_CLOEXEC;  // only to ask about it: no permission needed
    }
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
    identity->kind = S_ISREG(st.st_mode)   ? Kind::kRegular
                     : S_ISDIR(st.st_mode) ? Kind::kFolder
                                           : Kind::kDevice;
    identity->volume = st.st_dev;
    identity->number = st.st_ino;
    identity->size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    identity->links = static_cast<std::uint32_t>(st.st_nlink);
    identity->owner = st.st_uid;
    identity->group = st.st_gid;
    identity->mode = st.st_mode & 07777;
    identity->attributes = S_ISREG(st.st_mode)   ? FILE_ATTRIBUTE_NORMAL
                           : S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                                                 : 0;
}

// Whether the system's protection of links in sticky folders that everyone
// may write (fs.protected_symlinks) refuses to follow the link `link` in the
// folder `dir`: there, only its owner follows it, or anyone where the
// folder's owner owns it too. Where the setting cannot be read, it is taken
// to be on.
bool ProtectionRefuses(int dir, const struct stat& link) {
    int setting = 1;
    if (std::FILE* f = std::fopen("/proc/sys/fs/protected_symlinks", "re"); f != nullptr) {
        setting = std::fscanf(f, "%d", &setting) == 1 ? setting : 1;
        std::fclose(f);
    }
    struct stat folder {};
    const bool known = dir == AT_FDCWD ? stat(".", &folder) == 0 : fstat(dir, &folder) == 0;
    return setting != 0 && known && (folder.st_mode & S_ISVTX) != 0 &&
           (folder.st_mode & S_IWOTH) != 0 && link.st_uid != geteuid() &&
           link.st_uid != folder.st_uid;
}

// Whether the link is one of the process's descriptor links (on /proc).
bool OnProc(int dir, const char* leaf) {
    const int link = posix::OpenAt(dir, leaf, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct statfs fs {};
    const bool onProc = link >= 0 && fstatfs(link, &fs) == 0 && fs.f_type == kProcSuperMagic;
    if (link >= 0) {
        posix::Close(link);
    }
    return onProc;
}

}  // namespace

port::Code posix::MapErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case ETXTBSY:
        case EBUSY:
            return ERROR_BUSY;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case EIO:
            return ERROR_IO_DEVICE;
        case ENXIO:
        case ENODEV:
            return ERROR_GEN_FAILURE;
        case ESPIPE:
            return ERROR_NEGATIVE_SEEK;
        case ENOTSUP:
        case ENOSYS:
        case ENOLCK:
            return ERROR_NOT_SUPPORTED;
        default:
            return ERROR_GEN_FAILURE;
    }
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

// A name is what follows the last slash; the slash goes with it, but for the
// root's own.
BOOL PathRemoveFileSpecA(LPSTR path) {
    if (path == nullptr) {
        return FALSE;
    }
    char* slash = std::strrchr(path, '/');
    char* end = slash == nullptr ? path : (slash == path ? slash + 1 : slash);
    const bool removed = *end != '\0';
    *end = '\0';
    return removed ? TRUE : FALSE;
}

namespace port {

Code Open(const char* path, DWORD access, DWORD share, DWORD creation, File* file) {
    (void)share;  // POSIX has no mandatory sharing
    const posix::Located at(path);
    if (at.error() != ERROR_SUCCESS) {
        return at.error();
    }
    // Opening a FIFO for reading waits for its writer, as every reader of a FIFO does.
    int fd;
    do {
        fd = posix::OpenAt(at.dir(), at.leaf(), OpenFlags(access, creation), 0666);
    } while (fd < 0 && errno == EINTR);
    *file = fd;
    return fd < 0 ? LastCode() : ERROR_SUCCESS;
}

Code Duplicate(File file, File* copy) {
    *copy = fcntl(static_cast<int>(file), F_DUPFD_CLOEXEC, 0);
    return *copy < 0 ? LastCode() : ERROR_SUCCESS;
}

Code Close(File file) {
    // An interrupted close has closed the descriptor all the same.
    return posix::Close(static_cast<int>(file)) != 0 && errno != EINTR ? LastCode() : ERROR_SUCCESS;
}

// Runs one read or write call, again while it is interrupted.
template <typename Call>
Code Transfer(const Call& call, DWORD* done) {
    ssize_t n;
    while ((n = call()) < 0 && errno == EINTR) {
    }
    *done = n < 0 ? 0 : static_cast<DWORD>(n);
    return n < 0 ? LastCode() : ERROR_SUCCESS;
}

Code Read(File file, void* buffer, DWORD count, DWORD* done) {
    return Transfer([&] { return posix::Read(static_cast<int>(file), buffer, count); }, done);
}

Code ReadAt(File file, void* buffer, DWORD count, std::uint64_t at, DWORD* done) {
    return Transfer(
        [&] {
            return posix::ReadAt(static_cast<int>(file), buffer, count, static_cast<off_t>(at));
        },
        done);
}

Code Write(File file, const void* buffer, DWORD count, DWORD* done) {
    return Transfer([&] { return posix::Write(static_cast<int>(file), buffer, count); }, done);
}

Code WriteAt(File file, const void* buffer, DWORD count, std::uint64_t at, DWORD* done) {
    return Transfer(
        [&] {
            return posix::WriteAt(static_cast<int>(file), buffer, count, static_cast<off_t>(at));
        },
        done);
}

Code Flush(File file) {
    return posix::FlushData(static_cast<int>(file)) != 0 ? LastCode() : ERROR_SUCCESS;
}

Code SetLength(File file, std::uint64_t length) {
    return posix::Truncate(static_cast<int>(file), static_cast<off_t>(length)) != 0 ? LastCode()
                                                                                    : ERROR_SUCCESS;
}

Code Reserve(File file, std::uint64_t length) {
    return posix::Reserve(static_cast<int>(file), static_cast<off_t>(length)) != 0 ? LastCode()
                                                                                   : ERROR_SUCCESS;
}

Code Lock(File file) {
    int result;
    while ((result = posix::Lock(static_cast<int>(file))) != 0 && errno == EINTR) {
    }
    return result != 0 ? LastCode() : ERROR_SUCCESS;
}

Code Query(File file, Identity* identity) {
    struct stat st {};
    if (fstat(static_cast<int>(file), &st) != 0) {
        return LastCode();
    }
    Describe(st, identity);
    identity->writable = (st.st_mode & 0222) != 0;
    return ERROR_SUCCESS;
}

Code QueryPath(const char* path, Identity* identity) {
    *identity = Identity{};
    const posix::Located at(path);
    struct stat st {};
    if (at.error() != ERROR_SUCCESS) {
        return at.error();
    }
    if (fstatat(at.dir(), at.leaf(), &st, 0) != 0) {
        return errno == ENOENT ? ERROR_SUCCESS : LastCode();  // nothing stands there
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
        return posix::ModeOf(fd, 0666 & ~mask) != 0 ? LastCode() : ERROR_SUCCESS;
    }
    // Only a privileged process may give a file away, and some file systems
    // have no modes; the set-ID bits then never reach the new file, since
    // they follow the owner.
    struct stat mine {};
    if (fstat(fd, &mine) != 0 ||
        ((mine.st_uid != old->owner || mine.st_gid != old->group) &&
         posix::OwnerOf(fd, old->owner, old->group) != 0) ||
        posix::ModeOf(fd, old->mode) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

Code Unlink(const char* path) {
    const posix::Located at(path);
    if (at.error() != ERROR_SUCCESS) {
        return at.error();
    }
    return posix::UnlinkAt(at.dir(), at.leaf()) != 0 ? LastCode() : ERROR_SUCCESS;
}

Code RenameOver(const char* from, const char* to) {
    const posix::Located src(from);
    const posix::Located dst(to);
    if (src.error() != ERROR_SUCCESS || dst.error() != ERROR_SUCCESS) {
        return src.error() != ERROR_SUCCESS ? src.error() : dst.error();
    }
    return posix::RenameAt(src.dir(), src.leaf(), dst.dir(), dst.leaf()) != 0 ? LastCode()
                                                                              : ERROR_SUCCESS;
}

Code FlushFolder(const char* folder) {
    const int fd = posix::OpenAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return LastCode();
    }
    const Code code = posix::FlushAll(fd) != 0 ? LastCode() : ERROR_SUCCESS;
    posix::Close(fd);
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
        if (OnProc(at.dir(), at.leaf())) {
            *held = true;  // /dev/stdout, /dev/fd/N: a stream the process holds
            return ERROR_SUCCESS;
        }
        if (ProtectionRefuses(at.dir(), link)) {
            return ERROR_ACCESS_DENIED;
        }
        std::string next(4096, '\0');
        const ssize_t n = readlinkat(at.dir(), at.leaf(), next.data(), next.size());
        if (n < 0) {
            return LastCode();
        }
        next.resize(static_cast<std::size_t>(n));
        if (next.empty() || next.front() != '/') {
            const std::size_t slash = target->find_last_of('/');
            next =
                (slash == std::string::npos ? std::string() : target->substr(0, slash + 1)) + next;
        }
        *target = next;
    }
    return ERROR_CANT_RESOLVE_FILENAME;
}

bool EndsInSeparator(const std::string& path) {
    return !path.empty() && path.back() == '/';
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
