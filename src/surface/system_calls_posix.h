// The system calls of the POSIX port, each behind the fault seam: a call the
// test hook fails returns the call's failure value with errno set to the
// error the hook chose, without reaching the system (a close still closes,
// so that a failed close leaks nothing). Every POSIX port file makes its
// system calls through these and through no other name.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "surface/port.h"

namespace platform::posix {

using port::SystemCall;

inline bool Fails(SystemCall call) {
    const int err = port::InjectedFault(call);
    if (err != 0) {
        errno = err;
        return true;
    }
    return false;
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
    const int err = port::InjectedFault(SystemCall::kClose);
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

// Reserves [at, at + length) without changing the file's size.
inline int Reserve(int fd, off_t at, off_t length) {
    return Fails(SystemCall::kReserve) ? -1 : ::fallocate(fd, FALLOC_FL_KEEP_SIZE, at, length);
}

inline int Truncate(int fd, off_t length) {
    return Fails(SystemCall::kReserve) ? -1 : ::ftruncate(fd, length);
}

inline int Lock(int fd, int operation) {
    return Fails(SystemCall::kLock) ? -1 : ::flock(fd, operation);
}

inline void* Allocate(std::size_t bytes) {
    return Fails(SystemCall::kAllocate) ? nullptr : std::malloc(bytes);
}

inline void* AllocateCleared(std::size_t bytes) {
    return Fails(SystemCall::kAllocate) ? nullptr : std::calloc(bytes, 1);
}

}  // namespace platform::posix
