// Files, the process heap and the thread's last-error code, on POSIX.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "surface/gdi_objects.h"
#include "surface/platform.h"
#include "threads/parts.h"

namespace platform {

// ------------------------------------------------------------- last error

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD code) {
    lastError = code;
}

namespace {

// Sets the last-error code from errno and returns `result`.
template <typename T>
T FailWithErrno(T result) {
    SetLastError(MapErrno(errno));
    return result;
}

}  // namespace

// ------------------------------------------------------------- process heap

namespace {
std::atomic<long> liveHeapBlocks{0};
int processHeapTag;
}  // namespace

namespace detail {
long LiveHeapBlocks() {
    return liveHeapBlocks.load();
}

void AdviseLargePages(void* block, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
    // Measured on the development machine: a 12-Mpx turn gains (fewer
    // faults, less system time), but for blocks of several hundred MiB the
    // system's cost of providing large pages outgrows the gain.
    constexpr std::size_t kLargest = std::size_t{256} << 20;
    if (block == nullptr || bytes < 2 * kLargePage || bytes > kLargest) {
        return;
    }
    // The whole large pages inside the block.
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kLargePage - 1);
    if (first < end) {
        // Advice only: a refusal leaves ordinary pages, which work as well.
        (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
#else
    (void)block;
    (void)bytes;
#endif
}

}  // namespace detail

namespace {

// Large blocks whose memory need not start cleared come from here. The last
// one freed is kept back for the next request of about its size: a turn
// frees its coefficients just before the writer asks for a block of nearly
// the same size, and the pages already in hand spare the system clearing as
// many new ones (for a 12-Mpx picture, 69 MB). A request the kept block does
// not fit releases it first, so no more memory is held at any time than
// without it; it is released at exit too.
class LargeBlocks {
  public:
    static constexpr std::size_t kLarge = std::size_t{4} << 20;

    ~LargeBlocks() { std::free(spare_); }

    void* Allocate(std::size_t bytes) {
        if (bytes < kLarge) {
            return std::malloc(bytes == 0 ? 1 : bytes);
        }
        std::lock_guard<std::mutex> hold(lock_);
        void* block = nullptr;
        if (spare_ != nullptr && spareBytes_ >= bytes && spareBytes_ / 2 <= bytes) {
            block = spare_;
            bytes = spareBytes_;
        } else {
            std::free(spare_);
            block = std::malloc(bytes);
            detail::AdviseLargePages(block, bytes);
        }
        spare_ = nullptr;
        if (block != nullptr) {
            live_[block] = bytes;
        }
        return block;
    }

    void Free(void* block) {
        if (block == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = live_.find(block);
        if (found == live_.end()) {
            std::free(block);
            return;
        }
        std::free(spare_);
        spare_ = block;
        spareBytes_ = found->second;
        live_.erase(found);
    }

  private:
    std::mutex lock_;
    std::unordered_map<void*, std::size_t> live_;
    void* spare_ = nullptr;
    std::size_t spareBytes_ = 0;
};

LargeBlocks& Blocks() {
    static LargeBlocks blocks;
    return blocks;
}

}  // namespace

namespace detail {
void* AllocateWorkingMemory(std::size_t bytes) {
    return Blocks().Allocate(bytes);
}

void ReleaseWorkingMemory(void* block) {
    Blocks().Free(block);
}
}  // namespace detail

HANDLE GetProcessHeap() {
    return &processHeapTag;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap != &processHeapTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const SIZE_T size = bytes == 0 ? 1 : bytes;
    void* block = nullptr;
    if ((flags & HEAP_ZERO_MEMORY) != 0) {
        block = std::calloc(size, 1);
        detail::AdviseLargePages(block, size);
    } else {
        block = Blocks().Allocate(size);
    }
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ++liveHeapBlocks;
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    (void)flags;
    if (heap != &processHeapTag || block == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Blocks().Free(block);
    --liveHeapBlocks;
    return TRUE;
}

// ------------------------------------------------------------------- files

namespace {

struct FileObject {
    int fd = -1;
    bool writeThrough = false;
    bool regular = false;
};

struct FileTable {
    std::mutex lock;
    std::unordered_set<const void*> open;
};

FileTable& Files() {
    static FileTable table;
    return table;
}

FileObject* AsFile(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    FileTable& t = Files();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.open.count(handle) != 0 ? static_cast<FileObject*>(handle) : nullptr;
}

// How often data and folder entries were flushed to the disk.
std::atomic<long> dataFlushes{0};
std::atomic<long> folderFlushes{0};

int FlushData(int fd) {
    ++dataFlushes;
    return fdatasync(fd);
}

// ---- where a path leads

// A path as an open descriptor of its folder and its last name. Every call
// below works relative to the folder, so a path whose folder can be opened
// works even when the folder and a temporary's name together would exceed the
// system's limit on the length of a path.
class Located {
  public:
    explicit Located(const std::string& path) {
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || slash + 1 == path.size()) {
            leaf_ = path;  // no folder part, or a name that ends in a slash
            return;
        }
        leaf_ = path.substr(slash + 1);
        const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
        dir_ = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_ < 0) {
            // The only name that can be missing here is a folder's.
            error_ = errno == ENOENT ? ERROR_PATH_NOT_FOUND : MapErrno(errno);
        }
    }
    ~Located() {
        if (dir_ >= 0) {
            close(dir_);
        }
    }
    Located(const Located&) = delete;
    Located& operator=(const Located&) = delete;

    // ERROR_SUCCESS, or why the folder cannot be reached.
    DWORD error() const { return error_; }
    int dir() const { return dir_; }
    const char* leaf() const { return leaf_.c_str(); }

  private:
    int dir_ = AT_FDCWD;
    std::string leaf_;
    DWORD error_ = ERROR_SUCCESS;
};

constexpr long kProcSuperMagic = 0x9fa0;  // the process file system (/proc)

// Follows the symbolic links at the end of `path` to the name they end at,
// which need not exist. `descriptor` becomes true when a link on the way is
// one of the process's descriptor links (/dev/stdout, /dev/fd/N lead there):
// such a name stands for a stream the process already holds, not for a
// file to be replaced. Returns 0 or the errno value (ELOOP for a loop).
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
        const int link = openat(at.dir(), at.leaf(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (link >= 0) {
            struct statfs fs {};
            const bool onProc = fstatfs(link, &fs) == 0 && fs.f_type == kProcSuperMagic;
            close(link);
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

// ---- temporaries and signals

// Temporary files made by GetTempFileNameA and not yet moved or deleted, each
// as its folder's descriptor and its own short name: a signal that ends the
// process removes them on its way out, whatever the length of their paths.
constexpr int kMaxPendingTemps = 8;
struct PendingTemp {
    volatile std::sig_atomic_t used;
    int dir;
    char leaf[64];
};
PendingTemp pendingTemps[kMaxPendingTemps];
std::string pendingPaths[kMaxPendingTemps];  // the same temporaries by full path

// Only async-signal-safe calls: the process may be anywhere when it arrives.
extern "C" void RemovePendingTempsAndEnd(int sig) {
    for (PendingTemp& temp : pendingTemps) {
        if (temp.used != 0) {
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

// Every signal whose default action ends the process and that a handler may
// meet: the handler removes the temporaries and ends the process as the
// signal would have. Signals that report a fault of the process itself
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT) stay with the
// system, its core dumps and whatever tool watches the process. A signal
// inherited as ignored (nohup) stays ignored. A file-size limit makes a write
// fail with EFBIG, like any failed write, instead of ending the process.
void PrepareSignals() {
    std::vector<int> ending = {
        SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2, SIGPIPE,
        SIGALRM,   SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,
#ifdef SIGSTKFLT
        SIGSTKFLT,
#endif
#ifdef SIGPWR
        SIGPWR,
#endif
    };
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        ending.push_back(sig);
    }
    // Checked on every call rather than once: only a disposition still at
    // its default is taken over.
    for (int sig : ending) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
            current.sa_handler != SIG_DFL) {
            continue;  // ignored, or already handled
        }
        struct sigaction action {};
        action.sa_handler = RemovePendingTempsAndEnd;
        sigfillset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_DFL) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, nullptr);
    }
}

// Notes a temporary for removal on a signal; `dir` becomes the table's.
// Called with every signal blocked.
bool RegisterPendingTemp(int dir, const std::string& leaf, const std::string& path) {
    for (int i = 0; i < kMaxPendingTemps; ++i) {
        if (pendingTemps[i].used == 0 && leaf.size() < sizeof pendingTemps[i].leaf) {
            std::memcpy(pendingTemps[i].leaf, leaf.c_str(), leaf.size() + 1);
            pendingTemps[i].dir = dir;
            pendingPaths[i] = path;
            pendingTemps[i].used = 1;
            return true;
        }
    }
    return false;
}

void ForgetPendingTemp(const char* path) {
    for (int i = 0; i < kMaxPendingTemps; ++i) {
        if (pendingTemps[i].used != 0 && pendingPaths[i] == path) {
            pendingTemps[i].used = 0;
            if (pendingTemps[i].dir >= 0) {
                close(pendingTemps[i].dir);
            }
            pendingPaths[i].clear();
        }
    }
}

// A name that no file in the folder is likely to have: the prefix, six
// letters or digits and ".tmp".
std::string UniqueName(const std::string& prefix) {
    static std::atomic<std::uint64_t> counter{0};
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x =
        (static_cast<std::uint64_t>(getpid()) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
        (static_cast<std::uint64_t>(now.tv_sec) << 20) ^ (++counter * 0x9E3779B97F4A7C15u);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9u;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBu;
    x ^= x >> 31;
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) {
        name += kLetters[x % 62];
        x /= 62;
    }
    return name + ".tmp";
}

// Creates a new empty file with a unique name in the folder `dir` (the usual
// mode under the umask) and notes it as pending under `folderPath`. Returns
// its name, or an empty string with errno set.
std::string CreatePendingTemp(int dir, const std::string& folderPath, const std::string& prefix) {
    // No interruption between making the file and noting it for removal.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    std::string leaf;
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        leaf = UniqueName(prefix);
        const int fd = openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        err = fd < 0 ? errno : 0;
        if (fd >= 0) {
            close(fd);
        }
    }
    if (err == 0) {
        const int kept = fcntl(dir, F_DUPFD_CLOEXEC, 0);
        const std::string path = folderPath + (folderPath.back() == '/' ? "" : "/") + leaf;
        if (kept < 0 || !RegisterPendingTemp(kept, leaf, path)) {
            err = kept < 0 ? errno : EMFILE;
            if (kept >= 0) {
                close(kept);
            }
            unlinkat(dir, leaf.c_str(), 0);
        }
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (err != 0) {
        errno = err;
        return std::string();
    }
    return leaf;
}

// ---- putting a new file in place of an old one

// Gives the file `leaf` in `dir` the owner, group and permission bits of
// `old`. False when the owner, group or mode cannot be kept (only a
// privileged process may give a file away); the set-ID bits then never reach
// it.
bool TakeOwnerAndMode(int dir, const char* leaf, const struct stat& old) {
    struct stat mine {};
    if (fstatat(dir, leaf, &mine, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
        fchownat(dir, leaf, old.st_uid, old.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    // Owner and group are the old ones: the old bits, set-ID bits included,
    // mean what they meant before. Where the mode cannot be set (a file
    // system without modes), the old file is written in place instead.
    return fchmodat(dir, leaf, old.st_mode & 07777, 0) == 0;
}

// Copies the whole of `from` into the open file `to` from its start. 0 or errno.
int CopyContents(int from, int to) {
    std::vector<char> buffer(1 << 20);
    off_t at = 0;
    for (;;) {
        const ssize_t got = pread(from, buffer.data(), buffer.size(), at);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (got == 0) {
            break;
        }
        ssize_t done = 0;
        while (done < got) {
            const ssize_t n =
                pwrite(to, buffer.data() + done, static_cast<std::size_t>(got - done), at + done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            done += n;
        }
        at += got;
    }
    if (ftruncate(to, at) != 0) {
        return errno;
    }
    return FlushData(to) == 0 ? 0 : errno;
}

// Writes the contents of the file `src` into the existing regular file `dst`
// itself, so that the file keeps its identity: every name it has, its owner,
// group and permissions. Room for the new contents is reserved first where the file
// system can, so that a full disk is found before the old contents are
// touched; a write that still fails leaves the file empty, never half new.
int CopyInPlace(const Located& src, const Located& dst) {
    const int in = openat(src.dir(), src.leaf(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return errno;
    }
    const int out = openat(dst.dir(), dst.leaf(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (out < 0) {
        const int err = errno;
        close(in);
        return err;
    }
    int err = 0;
    struct stat from {};
    if (fstat(in, &from) != 0) {
        err = errno;
    } else if (from.st_size > 0 && fallocate(out, FALLOC_FL_KEEP_SIZE, 0, from.st_size) != 0 &&
               errno != EOPNOTSUPP && errno != ENOSYS) {
        err = errno;  // nothing written yet: the old contents stay
    } else {
        err = CopyContents(in, out);
        if (err != 0 && ftruncate(out, 0) == 0) {
            FlushData(out);
        }
    }
    close(in);
    close(out);
    return err;
}

// Flushes the folder's entries, so that a new name in it survives a crash.
void FlushFolder(const Located& at) {
    const int fd = at.dir() == AT_FDCWD ? open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                        : openat(at.dir(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ++folderFlushes;
        fsync(fd);
        close(fd);
    }
}

// Moves `src` to `dst` through a new temporary beside `dst`: for a move
// between file systems, which rename cannot do in one step. `old` is the file
// being replaced, if any. 0 or errno.
int MoveAcrossFileSystems(const Located& src, const Located& dst, const struct stat* old,
                          const std::string& dstFolder, bool* inPlace) {
    const std::string leaf = CreatePendingTemp(dst.dir(), dstFolder, "vp");
    if (leaf.empty()) {
        return errno;
    }
    const std::string path = dstFolder + "/" + leaf;
    int err = 0;
    const int in = openat(src.dir(), src.leaf(), O_RDONLY | O_CLOEXEC);
    const int out = openat(dst.dir(), leaf.c_str(), O_WRONLY | O_CLOEXEC);
    if (in < 0 || out < 0) {
        err = errno;
    } else {
        err = CopyContents(in, out);
    }
    if (in >= 0) {
        close(in);
    }
    if (out >= 0) {
        close(out);
    }
    if (err == 0 && old != nullptr && !TakeOwnerAndMode(dst.dir(), leaf.c_str(), *old)) {
        *inPlace = true;  // the caller writes the old file itself instead
    } else if (err == 0 && renameat(dst.dir(), leaf.c_str(), dst.dir(), dst.leaf()) != 0) {
        err = errno;
    }
    if (err != 0 || *inPlace) {
        unlinkat(dst.dir(), leaf.c_str(), 0);
    }
    ForgetPendingTemp(path.c_str());
    if (err == 0 && !*inPlace) {
        unlinkat(src.dir(), src.leaf(), 0);
    }
    return err;
}

}  // namespace

namespace detail {
long LiveFiles() {
    FileTable& t = Files();
    std::lock_guard<std::mutex> guard(t.lock);
    return static_cast<long>(t.open.size());
}
}  // namespace detail

FlushCounts GetFlushCounts() {
    return FlushCounts{dataFlushes.load(), folderFlushes.load()};
}

namespace {

// The open(2) flags for an access and a creation disposition; false for a
// disposition there is none of.
bool OpenFlags(DWORD access, DWORD creation, int* flags) {
    *flags = O_CLOEXEC | O_NOCTTY;
    const bool reading = (access & GENERIC_READ) != 0;
    const bool writing = (access & GENERIC_WRITE) != 0;
    *flags |= reading && writing ? O_RDWR : (writing ? O_WRONLY : O_RDONLY);
    switch (creation) {
        case CREATE_NEW:
            *flags |= O_CREAT | O_EXCL;
            return true;
        case CREATE_ALWAYS:
            *flags |= O_CREAT | O_TRUNC;
            return true;
        case OPEN_EXISTING:
            return true;
        case OPEN_ALWAYS:
            *flags |= O_CREAT;
            return true;
        case TRUNCATE_EXISTING:
            *flags |= O_TRUNC;
            return true;
        default:
            return false;
    }
}

// Registers an open descriptor as a file handle; closes it and returns
// INVALID_HANDLE_VALUE with the code set when it is a folder or no memory
// is left.
HANDLE RegisterFile(int fd, bool writing, DWORD flagsAndAttributes) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        SetLastError(MapErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!writing) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    auto* file = new (std::nothrow) FileObject;
    if (file == nullptr) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    file->fd = fd;
    file->writeThrough = (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) != 0;
    file->regular = S_ISREG(st.st_mode);
    FileTable& t = Files();
    std::lock_guard<std::mutex> guard(t.lock);
    t.open.insert(file);
    return file;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD creation, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)shareMode;  // POSIX has no mandatory sharing modes
    (void)security;
    (void)templateFile;
    if (path == nullptr || path[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int flags = 0;
    if (!OpenFlags(access, creation, &flags)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool writing = (access & GENERIC_WRITE) != 0;
    if (writing) {
        PrepareSignals();
    } else {
        // A read-only open does not wait for a writer at the other end of a pipe.
        flags |= O_NONBLOCK;
    }
    const Located at(path);
    if (at.error() != ERROR_SUCCESS) {
        SetLastError(at.error());
        return INVALID_HANDLE_VALUE;
    }
    int fd;
    do {
        fd = openat(at.dir(), at.leaf(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return FailWithErrno(INVALID_HANDLE_VALUE);
    }
    return RegisterFile(fd, writing, flagsAndAttributes);
}

namespace {

// Reads [at, at + count) of `fd` into `out`, one range a core, and returns
// the bytes read as one read would have them: a range cut short by the end
// of the file ends the result there. -1 with errno set when a range fails.
std::int64_t ReadShared(int fd, std::uint8_t* out, std::uint64_t count, off_t at) {
    const int parts = veerpic::threads::CoresToUse();
    std::vector<std::uint64_t> got(static_cast<std::size_t>(parts), 0);
    std::vector<int> failure(static_cast<std::size_t>(parts), 0);
    using veerpic::threads::PartStart;
    veerpic::threads::RunParts(parts, [&](int part) {
        const std::uint64_t first = PartStart(count, part, parts);
        const std::uint64_t end = PartStart(count, part + 1, parts);
        std::uint64_t& done = got[static_cast<std::size_t>(part)];
        while (first + done < end) {
            const ssize_t n = pread(fd, out + first + done, end - first - done,
                                    at + static_cast<off_t>(first + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                failure[static_cast<std::size_t>(part)] = errno;
                return;
            }
            if (n == 0) {
                return;  // the end of the file
            }
            done += static_cast<std::uint64_t>(n);
        }
    });
    std::uint64_t total = 0;
    for (int part = 0; part < parts; ++part) {
        const auto p = static_cast<std::size_t>(part);
        if (failure[p] != 0) {
            errno = failure[p];
            return -1;
        }
        total += got[p];
        if (got[p] < PartStart(count, part + 1, parts) - PartStart(count, part, parts)) {
            break;
        }
    }
    return static_cast<std::int64_t>(total);
}

}  // namespace

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    (void)overlapped;
    FileObject* file = AsFile(handle);
    if (read != nullptr) {
        *read = 0;
    }
    if (file == nullptr || (buffer == nullptr && toRead != 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    // Large reads from a regular file are shared out between the cores: the
    // system's copy into fresh pages (and its clearing of them) is most of
    // the time of reading a large picture.
    if (toRead >= veerpic::threads::kSharedBytes && file->regular) {
        const off_t at = lseek(file->fd, 0, SEEK_CUR);
        if (at >= 0) {
            const std::int64_t got = ReadShared(file->fd, out, toRead, at);
            if (got < 0) {
                return FailWithErrno(FALSE);
            }
            // The file position moves past what was read, as after one read.
            if (lseek(file->fd, at + static_cast<off_t>(got), SEEK_SET) < 0) {
                return FailWithErrno(FALSE);
            }
            if (read != nullptr) {
                *read = static_cast<DWORD>(got);
            }
            return TRUE;
        }
    }
    DWORD done = 0;
    while (done < toRead) {
        const ssize_t n = ::read(file->fd, out + done, toRead - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithErrno(FALSE);
        }
        if (n == 0) {
            break;  // the end of the file: a short read still succeeds
        }
        done += static_cast<DWORD>(n);
    }
    if (read != nullptr) {
        *read = done;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, DWORD* written,
               OVERLAPPED* overlapped) {
    (void)overlapped;
    FileObject* file = AsFile(handle);
    if (written != nullptr) {
        *written = 0;
    }
    if (file == nullptr || (buffer == nullptr && toWrite != 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        const ssize_t n = ::write(file->fd, in + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (written != nullptr) {
                *written = done;
            }
            return FailWithErrno(FALSE);
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    // Write-through: the bytes are on the disk before the call returns.
    if (file->writeThrough && file->regular && toWrite != 0 && FlushData(file->fd) != 0) {
        return FailWithErrno(FALSE);
    }
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, std::int64_t* size) {
    FileObject* file = AsFile(handle);
    if (file == nullptr || size == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    struct stat st {};
    if (fstat(file->fd, &st) != 0) {
        return FailWithErrno(FALSE);
    }
    *size = S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : 0;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    FileObject* file = AsFile(handle);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        FileTable& t = Files();
        std::lock_guard<std::mutex> guard(t.lock);
        t.open.erase(file);
    }
    const int result = close(file->fd);
    const int err = errno;
    delete file;
    if (result != 0 && err != EINTR) {
        SetLastError(MapErrno(err));
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Located at(path);
    if (at.error() != ERROR_SUCCESS) {
        SetLastError(at.error());
        return FALSE;
    }
    struct stat st {};
    if (fstatat(at.dir(), at.leaf(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlinkat(at.dir(), at.leaf(), 0) != 0) {
        return FailWithErrno(FALSE);
    }
    ForgetPendingTemp(path);
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    const Located at(path);
    if (at.error() != ERROR_SUCCESS) {
        SetLastError(at.error());
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st {};
    if (fstatat(at.dir(), at.leaf(), &st, 0) != 0) {
        return FailWithErrno(INVALID_FILE_ATTRIBUTES);
    }
    if (S_ISDIR(st.st_mode)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    std::string target;
    bool descriptor = false;
    if (S_ISREG(st.st_mode)) {
        FollowLinks(path, &target, &descriptor);
    }
    // A file reached through one of the process's descriptors (standard
    // output sent to a file, say) is a stream the process holds, like a device.
    DWORD attributes =
        S_ISREG(st.st_mode) && !descriptor ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DEVICE;
    if (faccessat(at.dir(), at.leaf(), W_OK, AT_EACCESS) != 0 && errno == EACCES) {
        attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
    }
    return attributes;
}

UINT GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR buffer, DWORD bufferSize) {
    if (dir == nullptr || buffer == nullptr || unique != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    PrepareSignals();
    const std::string folder = dir[0] == '\0' ? std::string(".") : std::string(dir);
    const std::string shortPrefix =
        prefix != nullptr ? std::string(prefix).substr(0, 3) : std::string();
    // The name's length is known before the file is made.
    const std::size_t length =
        folder.size() + (folder.back() == '/' ? 0 : 1) + shortPrefix.size() + 6 + 4;
    if (length + 1 > bufferSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    const int fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : MapErrno(errno));
        return 0;
    }
    const std::string leaf = CreatePendingTemp(fd, folder, shortPrefix);
    const int err = errno;
    close(fd);
    if (leaf.empty()) {
        SetLastError(MapErrno(err));
        return 0;
    }
    const std::string name = folder + (folder.back() == '/' ? "" : "/") + leaf;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return 1;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (from == nullptr || to == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A link at the destination stays: the file it leads to is the one replaced.
    std::string target;
    bool descriptor = false;
    if (const int err = FollowLinks(to, &target, &descriptor); err != 0) {
        SetLastError(MapErrno(err));  // a loop of links is refused
        return FALSE;
    }
    const Located src(from);
    const Located dst(target);
    if (src.error() != ERROR_SUCCESS || dst.error() != ERROR_SUCCESS) {
        SetLastError(src.error() != ERROR_SUCCESS ? src.error() : dst.error());
        return FALSE;
    }
    struct stat existing {};
    const bool exists = fstatat(dst.dir(), dst.leaf(), &existing, 0) == 0;
    if (exists && (flags & MOVEFILE_REPLACE_EXISTING) == 0) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        SetLastError(
            ERROR_ACCESS_DENIED);  // a folder, or a device (written directly, not replaced)
        return FALSE;
    }
    // The replace does no more than writing over the old file would be
    // allowed to do, and keeps what that would keep: a file the process may
    // not write is refused; a file with more than one name, one reached
    // through a descriptor, and one whose owner or group this process cannot
    // give the new file, are written in place.
    bool inPlace = false;
    if (exists) {
        if (faccessat(dst.dir(), dst.leaf(), W_OK, AT_EACCESS) != 0) {
            return FailWithErrno(FALSE);
        }
        inPlace = descriptor || existing.st_nlink > 1 ||
                  !TakeOwnerAndMode(src.dir(), src.leaf(), existing);
    }
    int err = 0;
    if (!inPlace && renameat(src.dir(), src.leaf(), dst.dir(), dst.leaf()) != 0) {
        err = errno;
        if (err == EXDEV) {
            const std::size_t slash = target.find_last_of('/');
            const std::string folder = slash == std::string::npos ? std::string(".")
                                       : slash == 0               ? std::string("/")
                                                                  : target.substr(0, slash);
            err = MoveAcrossFileSystems(src, dst, exists ? &existing : nullptr, folder, &inPlace);
        }
    }
    if (inPlace) {
        err = CopyInPlace(src, dst);
        if (err == 0) {
            unlinkat(src.dir(), src.leaf(), 0);
        }
    }
    if (err != 0) {
        SetLastError(MapErrno(err));
        return FALSE;
    }
    ForgetPendingTemp(from);
    if ((flags & MOVEFILE_WRITE_THROUGH) != 0 && !inPlace) {
        FlushFolder(dst);  // the new directory entry reaches the disk too
    }
    return TRUE;
}

}  // namespace platform
