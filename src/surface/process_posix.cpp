// The POSIX port's process-wide parts: temporaries without a name until they
// are complete (O_TMPFILE), the signals that end a process, and memory:
// the C heap, fresh pages, and memory files with copy-on-write views.
#include <signal.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "surface/system_calls_posix.h"

// Older C libraries lack the name; Linux gives it this value everywhere.
#if defined(__linux__) && !defined(MADV_COLLAPSE)
#define MADV_COLLAPSE 25
#endif

namespace platform::port {

namespace {

using posix::Call;
using posix::CodeOf;

// The signals that end a process and that a handler may meet: the tool takes
// over and holds back exactly these. Signals that report a fault of the
// process itself (SEGV, BUS, ILL, FPE, TRAP, SYS, ABRT) stay with the system
// and whatever watches the process; KILL and STOP no process can catch.
sigset_t TerminationSignals() {
    static const int kEnding[] = {
        SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2, SIGPIPE, SIGALRM,
        SIGTERM,   SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,
#ifdef SIGSTKFLT
        SIGSTKFLT,
#endif
#ifdef SIGPWR
        SIGPWR,
#endif
    };
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEnding) {
        sigaddset(&set, sig);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        sigaddset(&set, sig);
    }
    return set;
}

void (*volatile cleanupHook)() = nullptr;

// Only async-signal-safe calls: the process may be anywhere when it arrives.
extern "C" void CleanUpAndEnd(int sig) {
    if (void (*cleanup)() = cleanupHook; cleanup != nullptr) {
        cleanup();
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

thread_local int holds = 0;
thread_local sigset_t beforeHold;

}  // namespace

Code CreateTemporary(const char* path, File* file, bool* vanishes) {
    const posix::Located at(path);
    if (at.error() != ERROR_SUCCESS) {
        return at.error();
    }
    struct stat st {};
    int fd = -1;
    errno = EEXIST;
    // The unnamed file first; a named one where the file system has none.
    if (fstatat(at.dir(), at.leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fd = Call(SystemCall::kOpen, -1, ::openat, at.dir(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC,
                  0600);
        *vanishes = fd >= 0;
        // A refusal that means the file system makes no unnamed files, rather
        // than that no file may be made.
        if (fd < 0 &&
            (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT)) {
            fd = Call(SystemCall::kOpen, -1, ::openat, at.dir(), at.leaf(),
                      O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        }
    }
    *file = fd;
    return CodeOf(fd >= 0);
}

Code KeepTemporary(File file, const char* path) {
    // The descriptor's link in /proc names the unnamed file for linkat
    // without the privilege that linking a descriptor itself asks for.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", static_cast<int>(file));
    const posix::Located at(path);
    if (at.error() != ERROR_SUCCESS) {
        return at.error();
    }
    return CodeOf(Call(SystemCall::kLink, -1, ::linkat, AT_FDCWD, self, at.dir(), at.leaf(),
                       AT_SYMLINK_FOLLOW) == 0);
}

void RemoveInHandler(const char* path) {
    unlink(path);
}

void TakeOverTermination(void (*cleanup)()) {
    cleanupHook = cleanup;
    const sigset_t set = TerminationSignals();
    // Checked on every call: only a disposition still at its default is
    // taken over; one ignored (nohup) or handled by someone else stays.
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current {};
        if (sigismember(&set, sig) != 1 || sigaction(sig, nullptr, &current) != 0 ||
            (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
            continue;
        }
        struct sigaction action {};
        // A file-size limit makes a write fail with EFBIG, like any failed
        // write, instead of ending the process.
        action.sa_handler = sig == SIGXFSZ ? SIG_IGN : CleanUpAndEnd;
        sigfillset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

void HoldTermination() {
    if (holds++ == 0) {
        const sigset_t set = TerminationSignals();
        sigprocmask(SIG_BLOCK, &set, &beforeHold);
    }
}

void ReleaseTermination() {
    if (--holds == 0) {
        sigprocmask(SIG_SETMASK, &beforeHold, nullptr);
    }
}

void* AllocateBlock(std::size_t bytes, bool cleared) {
    return cleared ? Call(SystemCall::kAllocate, static_cast<void*>(nullptr), std::calloc, bytes,
                          std::size_t{1})
                   : Call(SystemCall::kAllocate, static_cast<void*>(nullptr), std::malloc, bytes);
}

void FreeBlock(void* block) {
    std::free(block);
}

std::size_t PageSize() {
    static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

namespace {

// Pages of `bytes` at `at` (anywhere, for null), shared with the file `fd`
// or private; MAP_FAILED with errno set where they cannot be had.
void* Map(void* at, std::size_t bytes, int flags, int fd) {
    return Call(SystemCall::kAllocate, MAP_FAILED, ::mmap, at, bytes, PROT_READ | PROT_WRITE, flags,
                fd, off_t{0});
}

// Whether a block of `bytes` gains from large pages: a 12-Mpx turn does
// (fewer faults, less system time), but for blocks of several hundred MiB
// the system's cost of providing large pages outgrows the gain.
constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
bool WantsLargePages(std::size_t bytes) {
    return bytes >= 2 * kLargePage && bytes <= std::size_t{256} << 20;
}

// The first large-page boundary at or after `address`.
std::uintptr_t UpToLargePage(std::uintptr_t address) {
    return (address + kLargePage - 1) & ~(kLargePage - 1);
}

// The memory file `fd` of `bytes`, shared; where large pages gain, its
// view starts on one, so that FillWithLargePages can give it them.
void* MapOnLargePageBoundary(std::size_t bytes, int fd) {
    if (!WantsLargePages(bytes)) {
        return Map(nullptr, bytes, MAP_SHARED, fd);
    }
    void* room = ::mmap(nullptr, bytes + kLargePage, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room == MAP_FAILED) {
        return Map(nullptr, bytes, MAP_SHARED, fd);
    }
    const auto start = reinterpret_cast<std::uintptr_t>(room);
    const std::uintptr_t first = UpToLargePage(start);
    void* at = Map(reinterpret_cast<void*>(first), bytes, MAP_SHARED | MAP_FIXED, fd);
    if (at == MAP_FAILED) {
        munmap(room, bytes + kLargePage);
        return MAP_FAILED;
    }
    if (first != start) {
        munmap(room, first - start);
    }
    munmap(reinterpret_cast<void*>(first + bytes), start + kLargePage - first);
    return at;
}

// The whole large pages of the `bytes` at `block`: [*first, *end).
bool WholeLargePages(void* block, std::size_t bytes, std::uintptr_t* first, std::uintptr_t* end) {
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    *first = UpToLargePage(start);
    *end = (start + bytes) & ~(kLargePage - 1);
    return block != nullptr && WantsLargePages(bytes) && *first < *end;
}

}  // namespace

void* MapPages(std::size_t bytes) {
    void* pages = Map(nullptr, bytes, MAP_PRIVATE | MAP_ANONYMOUS, -1);
    return pages == MAP_FAILED ? nullptr : pages;
}

void Unmap(void* pages, std::size_t bytes, bool view) {
    (void)view;  // pages and views go alike
    munmap(pages, bytes);
}

Code CreateMemoryFile(std::size_t bytes, File* file, void** view) {
    // A memory file is a file: one larger than the file-size limit would
    // raise SIGXFSZ, perhaps before anything takes that signal over.
    if (bytes > FileSizeLimit()) {
        return ERROR_FILE_TOO_LARGE;
    }
    const int fd = Call(SystemCall::kOpen, -1, ::memfd_create, "veerpic", MFD_CLOEXEC);
    void* at = fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0
                   ? MAP_FAILED
                   : MapOnLargePageBoundary(bytes, fd);
    if (at == MAP_FAILED) {
        const Code code = CodeOf(false);
        if (fd >= 0) {
            close(fd);
        }
        return code;
    }
    *file = fd;
    *view = at;
    return ERROR_SUCCESS;
}

Code MapCopyView(File file, std::size_t bytes, void* at, bool overView) {
    (void)overView;  // a mapping takes the place of any other
    // Its pages are mapped only where read: a block written to a file goes
    // from the memory file itself, and a page of the file never written (a
    // canvas's corners) stays unallocated unless the block is read there.
    return CodeOf(Map(at, bytes, MAP_PRIVATE | MAP_FIXED, static_cast<int>(file)) != MAP_FAILED);
}

void AdviseLargePages(void* block, std::size_t bytes) {
    std::uintptr_t first = 0, end = 0;
    if (WholeLargePages(block, bytes, &first, &end)) {
#if defined(MADV_HUGEPAGE)
        // Advice only: a refusal leaves ordinary pages, which work as well.
        (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
    }
}

void FillWithLargePages(void* view, std::size_t bytes) {
#if defined(MADV_COLLAPSE)
    std::uintptr_t first = 0, end = 0;
    if (!WholeLargePages(view, bytes, &first, &end)) {
        return;
    }
    // A large page is made of the small pages in its place, of which there
    // must be one: reading a byte makes one where there was none.
    for (std::uintptr_t at = first; at < end; at += kLargePage) {
        *reinterpret_cast<const volatile std::uint8_t*>(at);
    }
    (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_COLLAPSE);  // advice too
#else
    (void)view;
    (void)bytes;
#endif
}

}  // namespace platform::port
