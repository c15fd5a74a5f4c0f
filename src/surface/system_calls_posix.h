// The POSIX port's own helpers. Every system call of the port goes through
// Call(): a call the test hook fails returns `failure` with errno set to the
// error the hook chose, without reaching the system. errno becomes the
// platform's code in one place, MapErrno().
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "surface/port.h"
#include "surface/testing.h"

namespace platform::posix {

template <typename Result, typename Function, typename... Args>
Result Call(SystemCall seam, Result failure, Function function, Args... args) {
    if (const int err = InjectedFault(seam); err != 0) {
        errno = err;
        return failure;
    }
    return function(args...);
}

// A close closes even where the seam fails it, so that nothing leaks.
inline int Close(int fd) {
    const int err = InjectedFault(SystemCall::kClose);
    const int result = ::close(fd);
    errno = err != 0 ? err : errno;
    return err != 0 ? -1 : result;
}

port::Code MapErrno(int err);

// ERROR_SUCCESS, or the code of the call that just failed.
inline port::Code CodeOf(bool succeeded) {
    return succeeded ? ERROR_SUCCESS : MapErrno(errno);
}

// A path as an open descriptor of its folder and its last name. Calls made
// relative to the folder work even where the folder and a name together
// exceed the system's limit on the length of a path.
class Located {
  public:
    explicit Located(const char* path) {
        const char* slash = std::strrchr(path, '/');
        leaf_ = slash == nullptr || slash[1] == '\0' ? path : slash + 1;
        if (leaf_ == path) {
            return;  // no folder part, or a name that ends in a slash
        }
        const std::string folder(path, slash == path ? 1 : static_cast<std::size_t>(slash - path));
        dir_ = Call(SystemCall::kOpen, -1, ::openat, AT_FDCWD, folder.c_str(),
                    O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0) {
            // The only name that can be missing here is a folder's.
            error_ = errno == ENOENT ? ERROR_PATH_NOT_FOUND : MapErrno(errno);
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
    const char* leaf_;
    port::Code error_ = ERROR_SUCCESS;
};

}  // namespace platform::posix
