// What tests see of the services beyond the platform's own calls: counts of
// what is alive and of what was flushed, and two seams, one for a test's own
// allocator under sections and working memory, one to make any system call
// of the ports fail.
#pragma once

#include <atomic>
#include <cstddef>

#include "surface/platform.h"

namespace platform {

struct LiveCounts {
    long bitmaps;
    long dcs;
    long heapBlocks;
    long files;
    long temporaries;  // pending: made and neither in place nor deleted
};
LiveCounts GetLiveCounts();

// Flushes of written data, and of a folder's entries, since the process began.
struct FlushCounts {
    long data;
    long folders;
};
FlushCounts GetFlushCounts();

// Where sections' pixels and the transfer's working memory come from while a
// test's allocator is in place (one that sets every block against an
// inaccessible page, say). Set it, or null again, only while no section or
// working block is alive.
struct BlockAllocator {
    void* (*allocate)(std::size_t bytes);  // cleared memory, or null
    void (*release)(void* block);
};
void SetBlockAllocator(const BlockAllocator* allocator);

// The system functions the ports call, each behind this seam: a test's hook
// may fail any call with an error of its choosing (an errno value on POSIX,
// a last-error code on Windows).
enum class SystemCall {
    kOpen,      // open, openat, memfd_create; CreateFileW, CreateFileMappingW
    kRead,      // read; ReadFile
    kReadAt,    // pread; ReadFile at an offset
    kWrite,     // write; WriteFile
    kWriteAt,   // pwrite; WriteFile at an offset
    kFlush,     // fdatasync, fsync; FlushFileBuffers
    kClose,     // close; CloseHandle
    kRename,    // renameat; MoveFileExW
    kLink,      // linkat; clearing a temporary's delete mark
    kUnlink,    // unlinkat; DeleteFileW
    kOwner,     // fchown
    kMode,      // fchmod; the attributes of a file
    kReserve,   // fallocate, ftruncate; the end or the allocation of a file
    kLock,      // flock; LockFileEx
    kAllocate,  // malloc, calloc, mmap; HeapAlloc, VirtualAlloc, MapViewOfFileEx
    kCount,
};
using FaultHook = int (*)(SystemCall call);

namespace seam {
inline std::atomic<FaultHook> hook{nullptr};
}  // namespace seam

inline void SetFaultHook(FaultHook hook) {
    seam::hook.store(hook);
}

// The error the hook chose for this call, or 0 to let it run.
inline int InjectedFault(SystemCall call) {
    const FaultHook hook = seam::hook.load(std::memory_order_relaxed);
    return hook != nullptr ? hook(call) : 0;
}

}  // namespace platform
