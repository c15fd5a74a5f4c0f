// Putting a complete temporary in the place of an output, on POSIX, keeping
// the output's identity: its names, owner, group and mode, and the link that
// leads to it (see port.h for what is kept, refused and left by a failure).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "surface/port_posix.h"
#include "surface/system_calls_posix.h"

namespace platform {

namespace {

using posix::Close;

// A descriptor closed on every path.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            Close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes it now; 0 or errno.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && Close(fd) != 0 ? errno : 0;
    }

  private:
    int fd_;
};

// Opens the pending temporary `path` for reading: through its descriptor
// while it has no name, else by its name in `at`.
int OpenTemporary(const char* path, const posix::Located& at) {
    const int unnamed = posix::OpenUnnamed(path);
    return unnamed != -2 ? unnamed : posix::OpenAt(at.dir(), at.leaf(), O_RDONLY | O_CLOEXEC);
}

// Gives the file open as `fd` the owner, group and permission bits of `old`.
// False when they cannot be kept (only a privileged process may give a file
// away, and some file systems have no modes); the set-ID bits then never
// reach it.
bool TakeOwnerAndMode(int fd, const struct stat& old) {
    struct stat mine {};
    if (fstat(fd, &mine) != 0) {
        return false;
    }
    if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
        posix::OwnerOf(fd, old.st_uid, old.st_gid) != 0) {
        return false;
    }
    // Owner and group are the old ones: the old bits, set-ID bits included,
    // mean what they meant before.
    return posix::ModeOf(fd, old.st_mode & 07777) == 0;
}

// The buffer a copy goes through, had before anything is written.
constexpr std::size_t kBuffer = std::size_t{1} << 20;
using Buffer = std::unique_ptr<char, decltype(&std::free)>;
Buffer NewBuffer() {
    return Buffer(static_cast<char*>(posix::Allocate(kBuffer)), &std::free);
}

// Writes the whole of `from` over `to` from its start through `buffer`, and
// ends `to` there. 0 or errno.
int CopyContents(int from, int to, off_t size, const Buffer& buffer) {
    off_t at = 0;
    while (at < size) {
        const ssize_t got = posix::ReadAt(from, buffer.get(), kBuffer, at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return EIO;  // the temporary is shorter than it was
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t n = posix::WriteAt(to, buffer.get() + done,
                                             static_cast<std::size_t>(got - done), at + done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return errno;
            }
            done += n;
        }
        at += got;
    }
    if (posix::Truncate(to, size) != 0) {
        return errno;
    }
    return posix::FlushFileData(to) == 0 ? 0 : errno;
}

// Makes room for `size` bytes in `out` (now `oldSize` long) without
// touching a byte it holds: the file system's reservation, or else zeros
// written past its end. 0 or errno; a failure leaves the file as it was.
int ReserveRoom(int out, off_t oldSize, off_t size) {
    if (size == 0) {
        return 0;
    }
    if (posix::Reserve(out, 0, size) == 0) {
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS) {
        return errno;
    }
    static const char zeros[1 << 16] = {};
    for (off_t at = oldSize; at < size;) {
        const std::size_t n = static_cast<std::size_t>(
            size - at < static_cast<off_t>(sizeof zeros) ? size - at : sizeof zeros);
        const ssize_t done = posix::WriteAt(out, zeros, n, at);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            const int err = errno;
            (void)posix::Truncate(out, oldSize);
            return err;
        }
        at += done;
    }
    return 0;
}

// Writes the contents of `in` into the existing regular file `dst` itself, so
// that the file keeps its identity: every name it has, its owner, group and
// permissions. Concurrent writers follow one another (an advisory lock);
// the file-size limit and the room are checked before a byte is changed, and
// termination signals wait until the overwrite is done. A failure during
// the overwrite leaves the file empty, never half new. 0 or errno.
int WriteInPlace(int in, const posix::Located& dst) {
    const Buffer buffer = NewBuffer();
    if (buffer == nullptr) {
        return ENOMEM;
    }
    Descriptor out(posix::OpenAt(dst.dir(), dst.leaf(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (out.get() < 0) {
        return errno;
    }
    int locked;
    while ((locked = posix::Lock(out.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0 && errno != ENOLCK && errno != EOPNOTSUPP && errno != ENOSYS) {
        return errno;  // a file system without locks is written unlocked
    }
    struct stat from {};
    struct stat old {};
    if (fstat(in, &from) != 0 || fstat(out.get(), &old) != 0) {
        return errno;
    }
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(from.st_size) > limit.rlim_cur) {
        return EFBIG;
    }
    if (const int err = ReserveRoom(out.get(), old.st_size, from.st_size); err != 0) {
        return err;
    }
    int err = 0;
    {
        const posix::HeldSignals held;
        err = CopyContents(in, out.get(), from.st_size, buffer);
        if (err != 0 && posix::Truncate(out.get(), 0) == 0) {
            posix::FlushFileData(out.get());
        }
    }
    // The lock goes with the descriptor. Its close cannot undo what the
    // flush put on the disk: the output is what the overwrite left.
    (void)out.Release();
    return err;
}

// Moves the contents of `in` to `dst` through a second temporary beside
// `dst`: for a move between file systems, which a rename cannot do in one
// step. `old` is the file being replaced, or null for a new file. Sets
// `inPlace` when no file beside `dst` can keep the old file's identity (or
// none can be made there), for the caller to write the old file itself.
// 0 or errno.
int MoveAcrossFileSystems(int in, const posix::Located& dst, const std::string& dstFolder,
                          const struct stat* old, bool* inPlace) {
    const std::string temp = posix::CreateTemporary(dst.dir(), dstFolder, "vp");
    if (temp.empty()) {
        if (old != nullptr && (errno == EACCES || errno == EPERM)) {
            *inPlace = true;  // the folder takes no new file: the old one is written
            return 0;
        }
        return errno;
    }
    const posix::Located at(temp);
    int err = 0;
    {
        int fd = posix::OpenUnnamed(temp.c_str());
        if (fd == -2) {
            fd = posix::OpenAt(at.dir(), at.leaf(), O_WRONLY | O_CLOEXEC);
        }
        Descriptor out(fd);
        struct stat from {};
        const Buffer buffer = NewBuffer();
        if (out.get() < 0 || fstat(in, &from) != 0) {
            err = errno;
        } else {
            err = buffer == nullptr ? ENOMEM : CopyContents(in, out.get(), from.st_size, buffer);
        }
        if (err == 0) {
            if (old != nullptr && !TakeOwnerAndMode(out.get(), *old)) {
                *inPlace = true;
            } else if (old == nullptr) {
                (void)posix::ModeOf(out.get(), posix::NewFileMode());
            }
        }
        if (const int closeErr = out.Release(); err == 0 && closeErr != 0) {
            err = closeErr;
        }
    }
    if (err == 0 && !*inPlace) {
        err = posix::NamePending(temp.c_str(), at.dir(), at.leaf());
        if (err == 0 && posix::RenameAt(at.dir(), at.leaf(), dst.dir(), dst.leaf()) != 0) {
            err = errno;
        }
    }
    if (err != 0 || *inPlace) {
        posix::DiscardPending(temp.c_str());
    } else {
        posix::ForgetPending(temp.c_str());
    }
    return err;
}

// Whether a refused rename over an existing output is one that writing the
// output in place avoids: the folder takes no new entry, or the output is a
// mount point (a single file bound into a container).
bool RenameRefusalWritingAvoids(int err) {
    return err == EACCES || err == EPERM || err == EBUSY;
}

// Puts the temporary `from` at `to`: a new file, or, when `keep` is set, in
// the place of an existing one whose identity it keeps. 0 or errno.
int PutInPlace(const char* from, const char* to, bool keep, bool writeThrough) {
    // A link at the destination stays: the file it leads to is the one replaced.
    std::string target;
    bool descriptor = false;
    if (const int err = posix::FollowLinks(to, &target, &descriptor); err != 0) {
        return err;  // a loop of links is refused
    }
    const posix::Located src(from);
    const posix::Located dst(target);
    if (src.error() != ERROR_SUCCESS || dst.error() != ERROR_SUCCESS) {
        SetLastError(src.error() != ERROR_SUCCESS ? src.error() : dst.error());
        return -1;
    }
    struct stat existing {};
    const bool exists = fstatat(dst.dir(), dst.leaf(), &existing, 0) == 0;
    // An output that is gone by now (another run's replace, or its user,
    // took it away) is put there as a new file.
    if (!keep && exists) {
        return EEXIST;
    }
    // The replace does no more than writing over the old file would be
    // allowed to do, and keeps what that would keep: a file the process may
    // not write, a folder and a device are refused; a file with more than one
    // name, one reached through a descriptor, and one whose owner or group
    // this process cannot give the new file, are written in place.
    if (exists && !S_ISREG(existing.st_mode)) {
        return EACCES;
    }
    if (exists && faccessat(dst.dir(), dst.leaf(), W_OK, AT_EACCESS) != 0) {
        return errno;
    }
    Descriptor in(OpenTemporary(from, src));
    if (in.get() < 0) {
        return errno;
    }
    bool inPlace = exists && (descriptor || existing.st_nlink > 1);
    if (exists && !inPlace) {
        inPlace = !TakeOwnerAndMode(in.get(), existing);
    } else if (!exists) {
        // The mode a new file gets; a file system without modes keeps its own.
        (void)posix::ModeOf(in.get(), posix::NewFileMode());
    }
    int err = 0;
    bool renamed = false;  // the temporary itself has taken the output's place
    bool placed = false;   // a new file has, the temporary's copy on another file system
    // A temporary on another file system than the output's folder cannot be
    // renamed there; it is copied there without ever being given a name.
    struct stat mine {};
    struct stat folder {};
    const bool across = fstat(in.get(), &mine) == 0 && fstatat(dst.dir(), ".", &folder, 0) == 0 &&
                        mine.st_dev != folder.st_dev;
    if (!inPlace) {
        err = across ? 0 : posix::NamePending(from, src.dir(), src.leaf());
        if (err == 0 && !across &&
            posix::RenameAt(src.dir(), src.leaf(), dst.dir(), dst.leaf()) == 0) {
            renamed = true;
        } else if (err == 0) {
            err = across ? EXDEV : errno;
            if (err == EXDEV) {
                err = MoveAcrossFileSystems(in.get(), dst, posix::FolderOf(target),
                                            exists ? &existing : nullptr, &inPlace);
                placed = err == 0 && !inPlace;
            } else if (exists && RenameRefusalWritingAvoids(err)) {
                err = 0;
                inPlace = true;
            }
        }
    }
    if (err == 0 && inPlace) {
        err = WriteInPlace(in.get(), dst);
    }
    if (err != 0) {
        return err;
    }
    // The temporary has taken its place, or its contents have: it is no
    // longer pending, and a copied one goes.
    if (renamed) {
        posix::ForgetPending(from);
    } else if (posix::IsPending(from)) {
        posix::DiscardPending(from);
    } else {
        (void)posix::UnlinkAt(src.dir(), src.leaf());
    }
    if (writeThrough && (renamed || placed)) {
        posix::FlushFolder(dst.dir());  // the new directory entry reaches the disk too
    }
    return 0;
}

BOOL Finish(int err) {
    if (err == -1) {
        return FALSE;  // the code is set
    }
    if (err != 0) {
        SetLastError(MapErrno(err));
        return FALSE;
    }
    return TRUE;
}

}  // namespace

}  // namespace platform

platform::BOOL platform::MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (from == nullptr || to == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port::Guarded(FALSE, [&]() -> BOOL {
        const int err = PutInPlace(from, to, false, (flags & MOVEFILE_WRITE_THROUGH) != 0);
        if (err == EEXIST && (flags & MOVEFILE_REPLACE_EXISTING) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (err == EEXIST) {
            // An output that appeared meanwhile is replaced as any other.
            return Finish(PutInPlace(from, to, true, (flags & MOVEFILE_WRITE_THROUGH) != 0));
        }
        return Finish(err);
    });
}

platform::BOOL platform::ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup,
                                      DWORD flags, LPVOID exclude, LPVOID reserved) {
    (void)exclude;
    (void)reserved;
    if (replaced == nullptr || replacement == nullptr || backup != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port::Guarded(FALSE, [&]() -> BOOL {
        return Finish(
            PutInPlace(replacement, replaced, true, (flags & REPLACEFILE_WRITE_THROUGH) != 0));
    });
}
