// Temporaries on POSIX: the new file of a save, made beside the output and
// pending until it takes the output's place or is deleted; the signals that
// end a process remove pending temporaries first. On Linux a temporary is
// made without a name (O_TMPFILE) where the file system can, and is named
// only when it is complete, so that not even a kill leaves it behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "surface/port_posix.h"
#include "surface/system_calls_posix.h"

namespace platform::posix {

namespace {

// Each pending temporary as its folder's descriptor and its own short name
// (and, while it has no name, its descriptor): a signal that ends the
// process removes the named ones on its way out, whatever the length of
// their paths; the unnamed ones go with the process.
constexpr int kMaxPending = 16;
struct PendingTemp {
    volatile std::sig_atomic_t used;
    volatile std::sig_atomic_t named;
    int dir;
    int fd;  // an unnamed temporary's, else -1
    char leaf[32];
};
PendingTemp pending[kMaxPending];
std::string pendingPaths[kMaxPending];  // the same temporaries by the path they are known by

// Blocks every signal while the table changes, so that the handler never
// sees an entry half made.
class AllSignalsBlocked {
  public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &previous_);
    }
    ~AllSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

  private:
    sigset_t previous_;
};

// Only async-signal-safe calls: the process may be anywhere when it arrives.
extern "C" void RemovePendingAndEnd(int sig) {
    for (PendingTemp& temp : pending) {
        if (temp.used != 0 && temp.named != 0) {
            unlinkat(temp.dir, temp.leaf, 0);
        }
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, sig);
    sigprocmask(SIG_UNBLOCK, &self, nullptr);
    raise(sig);  // ends the process as the signal would have
}

int Find(const char* path) {
    for (int i = 0; i < kMaxPending; ++i) {
        if (pending[i].used != 0 && pendingPaths[i] == path) {
            return i;
        }
    }
    return -1;
}

// A name that no file in the folder is likely to have, seeded by the
// process and the time.
std::string UniqueName(const std::string& prefix) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t seed = (static_cast<std::uint64_t>(getpid()) << 32) ^
                               static_cast<std::uint64_t>(now.tv_nsec) ^
                               (static_cast<std::uint64_t>(now.tv_sec) << 20);
    return port::TemporaryName(prefix, seed, true);
}

// Whether an O_TMPFILE refusal means the file system cannot make unnamed
// files (then a named temporary is made instead) rather than that no file
// may be made at all.
bool NoUnnamedFiles(int err) {
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOENT;
}

}  // namespace

void PrepareSignals() {
    // Every signal whose default action ends the process and that a handler
    // may meet: the handler removes the temporaries and ends the process as
    // the signal would have. Signals that report a fault of the process
    // itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT) stay
    // with the system, its core dumps and whatever tool watches the process.
    // A signal inherited as ignored (nohup) stays ignored. A file-size limit
    // makes a write fail with EFBIG, like any failed write, instead of
    // ending the process.
    static const int kEnding[] = {
        SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2, SIGPIPE,
        SIGALRM,   SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,
#ifdef SIGSTKFLT
        SIGSTKFLT,
#endif
#ifdef SIGPWR
        SIGPWR,
#endif
    };
    // Checked on every call rather than once: only a disposition still at
    // its default is taken over; one ignored or already handled stays.
    const auto takeOver = [](int sig, void (*handler)(int)) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
            current.sa_handler != SIG_DFL) {
            return;
        }
        struct sigaction action {};
        action.sa_handler = handler;
        sigfillset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    };
    for (const int sig : kEnding) {
        takeOver(sig, RemovePendingAndEnd);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        takeOver(sig, RemovePendingAndEnd);
    }
    takeOver(SIGXFSZ, SIG_IGN);
}

std::string CreateTemporary(int dir, const std::string& folderPath, const std::string& prefix) {
    const AllSignalsBlocked blocked;  // no interruption between making and noting
    int slot = 0;
    while (slot < kMaxPending && pending[slot].used != 0) {
        ++slot;
    }
    if (slot == kMaxPending) {
        errno = EMFILE;
        return std::string();
    }
    const int kept = fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (kept < 0) {
        return std::string();
    }
    // The unnamed file comes first; a named one where the file system has none.
    std::string leaf = UniqueName(prefix);
    int fd = OpenAt(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    int err = fd < 0 ? errno : 0;
    bool named = false;
    if (fd < 0 && NoUnnamedFiles(err)) {
        named = true;
        err = EEXIST;
        for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
            leaf = UniqueName(prefix);
            const int made =
                OpenAt(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            err = made < 0 ? errno : 0;
            if (made >= 0) {
                Close(made);
            }
        }
    }
    std::string path;
    if (err == 0) {
        path = folderPath + (folderPath.back() == '/' ? "" : "/") + leaf;
        pendingPaths[slot] = path;
        std::memcpy(pending[slot].leaf, leaf.c_str(), leaf.size() + 1);
        pending[slot].dir = kept;
        pending[slot].fd = fd;
        pending[slot].named = named ? 1 : 0;
        pending[slot].used = 1;
        return path;
    }
    Close(kept);
    errno = err;
    return std::string();
}

int OpenUnnamed(const char* path) {
    const int i = Find(path);
    if (i < 0 || pending[i].named != 0) {
        return -2;
    }
    return fcntl(pending[i].fd, F_DUPFD_CLOEXEC, 0);
}

bool IsPending(const char* path) {
    return Find(path) >= 0;
}

int NamePending(const char* path, int dir, const char* leaf) {
    const int i = Find(path);
    if (i < 0 || pending[i].named != 0) {
        return 0;
    }
    // The descriptor's link in /proc names the unnamed file for linkat
    // without the privilege that linking a descriptor itself asks for.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", pending[i].fd);
    const AllSignalsBlocked blocked;
    if (LinkAt(AT_FDCWD, self, dir, leaf, AT_SYMLINK_FOLLOW) != 0) {
        return errno;
    }
    pending[i].named = 1;
    return 0;
}

void ForgetPending(const char* path) {
    const AllSignalsBlocked blocked;
    const int i = Find(path);
    if (i < 0) {
        return;
    }
    pending[i].used = 0;
    pending[i].named = 0;
    Close(pending[i].dir);
    if (pending[i].fd >= 0) {
        Close(pending[i].fd);
    }
    pendingPaths[i].clear();
}

int DiscardPending(const char* path) {
    const int i = Find(path);
    if (i < 0) {
        return ENOENT;
    }
    if (pending[i].named != 0 && UnlinkAt(pending[i].dir, pending[i].leaf) != 0 &&
        errno != ENOENT) {
        return errno;
    }
    ForgetPending(path);
    return 0;
}

HeldSignals::HeldSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ}) {
        sigaddset(&held, sig);
    }
    sigprocmask(SIG_BLOCK, &held, &previous_);
}

HeldSignals::~HeldSignals() {
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace platform::posix

long platform::port::PendingTemporaries() {
    long count = 0;
    for (const auto& temp : posix::pending) {
        count += temp.used != 0 ? 1 : 0;
    }
    return count;
}

platform::UINT platform::GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR buffer,
                                          DWORD bufferSize) {
    if (dir == nullptr || buffer == nullptr || unique != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return port::Guarded<UINT>(0, [&]() -> UINT {
        posix::PrepareSignals();
        const std::string folder = dir[0] == '\0' ? std::string(".") : std::string(dir);
        // The name's length is known before the file is made.
        const std::string shortPrefix =
            prefix != nullptr ? std::string(prefix).substr(0, 3) : std::string();
        const std::size_t length =
            folder.size() + (folder.back() == '/' ? 0 : 1) + shortPrefix.size() + 6 + 4;
        if (length + 1 > bufferSize) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        const int fd = posix::OpenAt(AT_FDCWD, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : MapErrno(errno));
            return 0;
        }
        const std::string name = posix::CreateTemporary(fd, folder, shortPrefix);
        const int err = errno;
        posix::Close(fd);
        if (name.empty()) {
            SetLastError(MapErrno(err));
            return 0;
        }
        std::memcpy(buffer, name.c_str(), name.size() + 1);
        return 1;
    });
}

// The folder a process keeps its temporaries in, when the output's own
// folder takes none: the system's, never one an environment variable names.
platform::DWORD platform::GetTempPathA(DWORD bufferSize, LPSTR buffer) {
    static constexpr char kTempFolder[] = "/tmp/";
    if (buffer == nullptr || bufferSize < sizeof kTempFolder) {
        return sizeof kTempFolder;
    }
    std::memcpy(buffer, kTempFolder, sizeof kTempFolder);
    return sizeof kTempFolder - 1;
}
