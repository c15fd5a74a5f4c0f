// Where a path leads, on POSIX: its folder and last name, the links at its
// end, the folder part of a name, and what stands there.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "surface/port_posix.h"
#include "surface/system_calls_posix.h"

namespace platform::posix {

namespace {
constexpr long kProcSuperMagic = 0x9fa0;  // the process file system (/proc)
}  // namespace

Located::Located(const std::string& path) : dir_(AT_FDCWD) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        leaf_ = path;  // no folder part, or a name that ends in a slash
        return;
    }
    leaf_ = path.substr(slash + 1);
    dir_ = OpenAt(AT_FDCWD, FolderOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_ < 0) {
        // The only name that can be missing here is a folder's.
        error_ = errno == ENOENT ? ERROR_PATH_NOT_FOUND : MapErrno(errno);
        dir_ = AT_FDCWD;
        leaf_.clear();
    }
}

Located::~Located() {
    if (dir_ >= 0) {
        Close(dir_);
    }
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

int FollowLinks(const std::string& path, std::string* target, bool* descriptor) {
    *target = path;
    *descriptor = false;
    for (int hops = 0; hops <= 40; ++hops) {
        Located at(*target);
        if (at.error() != ERROR_SUCCESS) {
            return 0;  // an unreachable folder: the caller's own call reports it
        }
        struct stat st {};
        if (fstatat(at.dir(), at.leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
            return 0;
        }
        const int link = OpenAt(at.dir(), at.leaf(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (link >= 0) {
            struct statfs fs {};
            const bool onProc = fstatfs(link, &fs) == 0 && fs.f_type == kProcSuperMagic;
            Close(link);
            if (onProc) {
                *descriptor = true;
                return 0;
            }
        }
        std::string next(4096, '\0');
        const ssize_t n = readlinkat(at.dir(), at.leaf(), next.data(), next.size());
        if (n < 0) {
            return errno;
        }
        next.resize(static_cast<std::size_t>(n));
        if (next.empty() || next.front() != '/') {
            const std::size_t slash = target->find_last_of('/');
            next =
                (slash == std::string::npos ? std::string() : target->substr(0, slash + 1)) + next;
        }
        *target = next;
    }
    return ELOOP;
}

}  // namespace platform::posix

// A name is what follows the last slash; the slash goes with it, but for the
// root's own.
platform::BOOL platform::PathRemoveFileSpecA(LPSTR path) {
    if (path == nullptr) {
        return FALSE;
    }
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        const bool removed = path[0] != '\0';
        path[0] = '\0';
        return removed ? TRUE : FALSE;
    }
    char* end = slash == path ? slash + 1 : slash;
    const bool removed = *end != '\0';
    *end = '\0';
    return removed ? TRUE : FALSE;
}

// What stands at a path, as the writer asks it: a folder, a file it may or
// may not write, or a device (a stream written in place).
platform::DWORD platform::GetFileAttributesA(LPCSTR path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return port::Guarded(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
        const posix::Located at(path);
        if (at.error() != ERROR_SUCCESS) {
            SetLastError(at.error());
            return INVALID_FILE_ATTRIBUTES;
        }
        struct stat st {};
        if (fstatat(at.dir(), at.leaf(), &st, 0) != 0) {
            SetLastError(MapErrno(errno));
            return INVALID_FILE_ATTRIBUTES;
        }
        if (S_ISDIR(st.st_mode)) {
            return FILE_ATTRIBUTE_DIRECTORY;
        }
        std::string target;
        bool descriptor = false;
        if (S_ISREG(st.st_mode)) {
            posix::FollowLinks(path, &target, &descriptor);
        }
        // A file reached through one of the process's descriptors (standard
        // output sent to a file, say) is a stream the process holds, like a
        // device.
        DWORD attributes =
            S_ISREG(st.st_mode) && !descriptor ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DEVICE;
        if (faccessat(at.dir(), at.leaf(), W_OK, AT_EACCESS) != 0 && errno == EACCES) {
            attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
        }
        return attributes;
    });
}
