// The system calls of the POSIX port, each behind the fault seam: a call the
// test hook fails returns the call's failure value with errno set to the
// error the hook chose, without reaching the system (a close still closes,
// so that a failed close leaks nothing). The port makes its system calls
// through these, and turns errno into the platform's code in one place.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "surface/port.h"
#include "surface/testing.h"

namespace platform::posix {

inline bool Fails(SystemCall call) {
    const int err = InjectedFault(call);
    if (err != 0) {
        errno = err;
        return true;
    }
    return false;
}

// The platform's code for an errno value.
port::Code MapErrno(int err);

// The code of the call that just failed.
inline port::Code LastCode() {
    return MapErrno(errno);
}

inline int OpenAt(int dir, const char* name, int flags, mode_t mode = 0) {
    return Fails(SystemCall::kOpen) ? -1 : ::openat(dir, name, flags, mode);
}

inline ssize_t Read(int fd, void* buffer, std::size_t count) {
    return Fails(SystemCall::kRead) ? -1 : ::read(fd, buffer, count);
}

inline ssize_t ReadAt(int fd, void* buffer, std::size_t count, off_t at) {
    return Fails(SystemCall::kReadAt) ? -1 : ::pread(fd, buffer, count, at);
}

inline ssize_t Write(int fd, const void* buffer, std::size_t count) {
    return Fails(SystemCall::kWrite) ? -1 : ::write(fd, buffer, count);
}

inline ssize_t WriteAt(int fd, const void* buffer, std::size_t count, off_t at) {
    return Fails(SystemCall::kWriteAt) ? -1 : ::pwrite(fd, buffer, count, at);
}

// Data only (fdatasync), or data and the entry's metadata (fsync, for folders).
inline int FlushData(int fd) {
    return Fails(SystemCall::kFlush) ? -1 : ::fdatasync(fd);
}

inline int FlushAll(int fd) {
    return Fails(SystemCall::kFlush) ? -1 : ::fsync(fd);
}

inline int Close(int fd) {
    const int err = InjectedFault(SystemCall::kClose);
    const int result = ::close(fd);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return result;
}

inline int RenameAt(int fromDir, const char* from, int toDir, const char* to) {
    return Fails(SystemCall::kRename) ? -1 : ::renameat(fromDir, from, toDir, to);
}

inline int LinkAt(int fromDir, const char* from, int toDir, const char* to, int flags) {
    return Fails(SystemCall::kLink) ? -1 : ::linkat(fromDir, from, toDir, to, flags);
}

inline int UnlinkAt(int dir, const char* name) {
    return Fails(SystemCall::kUnlink) ? -1 : ::unlinkat(dir, name, 0);
}

inline int OwnerOf(int fd, uid_t owner, gid_t group) {
    return Fails(SystemCall::kOwner) ? -1 : ::fchown(fd, owner, group);
}

inline int ModeOf(int fd, mode_t mode) {
    return Fails(SystemCall::kMode) ? -1 : ::fchmod(fd, mode);
}

// Reserves [0, length) without changing the file's size.
inline int Reserve(int fd, off_t length) {
    return Fails(SystemCall::kReserve) ? -1 : ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length);
}

inline int Truncate(int fd, off_t length) {
    return Fails(SystemCall::kReserve) ? -1 : ::ftruncate(fd, length);
}

inline int Lock(int fd) {
    return Fails(SystemCall::kLock) ? -1 : ::flock(fd, LOCK_EX);
}

inline void* Allocate(std::size_t bytes, bool cleared) {
    return Fails(SystemCall::kAllocate) ? nullptr
                                        : (cleared ? std::calloc(bytes, 1) : std::malloc(bytes));
}

inline void* Map(void* at, std::size_t bytes, int flags, int fd) {
    return Fails(SystemCall::kAllocate) ? MAP_FAILED
                                        : ::mmap(at, bytes, PROT_READ | PROT_WRITE, flags, fd, 0);
}

// A path as an open descriptor of its folder and its last name. Every call
// below works relative to the folder, so a path whose folder can be opened
// works even where the folder and a name together exceed the system's limit
// on the length of a path.
class Located {
  public:
    explicit Located(const char* path) {
        const char* slash = std::strrchr(path, '/');
        if (slash == nullptr || slash[1] == '\0') {
            leaf_ = path;  // no folder part, or a name that ends in a slash
            return;
        }
        leaf_ = slash + 1;
        const std::string folder = slash == path
                                       ? std::string("/")
                                       : std::string(path, static_cast<std::size_t>(slash - path));
        dir_ = OpenAt(AT_FDCWD, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0) {
            // The only name that can be missing here is a folder's.
            error_ = errno == ENOENT ? ERROR_PATH_NOT_FOUND : LastCode();
            dir_ = AT_FDCWD;
        }
    }
    ~Located() {
        if (dir_ != AT_FDCWD) {
            Close(dir_);
        }
    }
    Located(const Located&) = delete;
    Located& operator=(const Located&) = delete;

    port::Code error() const { return error_; }
    int dir() const { return dir_; }
    const char* leaf() const { return leaf_; }

  private:
    int dir_ = AT_FDCWD;
    const char* leaf_ = "";
    port::Code error_ = ERROR_SUCCESS;
};

}  // namespace platform::posix
