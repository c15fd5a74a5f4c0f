// The contract between the bitmap services and each system's port: what a
// port (the *_posix.cpp files, or the *_windows.cpp files, as the build
// chooses) must define, and what each definition promises. The rest of the
// tool sees none of this; it sees platform.h.
//
// A port defines, with qualified names (`BOOL platform::CloseHandle(...)`),
// so that a signature that drifts from platform.h fails to compile:
//
//   last error   GetLastError, SetLastError
//   heap         GetProcessHeap, HeapAlloc, HeapFree
//   files        CreateFileA, ReadFile, WriteFile, GetFileSizeEx, CloseHandle,
//                DeleteFileA, GetFileAttributesA
//   paths        PathRemoveFileSpecA
//   temporaries  GetTempFileNameA, GetTempPathA
//   replace      MoveFileExA, ReplaceFileA
//
// and, in platform::port, every function declared below that does not say it
// is common to every system (the block allocator and the fault seam are).
// Every port file includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "surface/platform.h"

namespace platform::port {

// Runs `body` and returns what it returns; where it runs out of memory
// (a std::bad_alloc from a string or table), returns `failure` with
// ERROR_NOT_ENOUGH_MEMORY instead. Every service of a port that uses the
// standard library's containers runs inside it: no exception leaves a port.
template <typename T, typename Body>
T Guarded(T failure, const Body& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
}

// ------------------------------------------------------------------- heap

// The transfer's working memory and the process heap's large blocks: null
// when the memory cannot be had. ReleaseWorkingMemory takes null too.
void* AllocateWorkingMemory(std::size_t bytes);
void ReleaseWorkingMemory(void* block);

// Advises the system to back a large block with large pages: fewer page
// faults when it is first touched, fewer misses in the address translation
// caches after. Advice only: a system without them keeps ordinary pages.
void AdviseLargePages(void* block, std::size_t bytes);

// Heap blocks handed out by HeapAlloc and not yet freed.
long LiveHeapBlocks();

// Where sections' pixels and the transfer's working memory come from when a
// test puts its own allocator in place: one that sets the end or the start
// of every block against an inaccessible page, say, so that a read past it
// stops the test at once. Common to every system; set it (or null, for the
// heap again) only while no section or working block is alive.
struct BlockAllocator {
    void* (*allocate)(std::size_t bytes);  // cleared memory, or null
    void (*release)(void* block);
};
void SetBlockAllocator(const BlockAllocator* allocator);
const BlockAllocator* TestBlockAllocator();

// ------------------------------------------------------------------ files

// File handles opened by CreateFileA and not yet closed.
long LiveFiles();

// Counts a flush of written data, or of a folder's entries, to the disk, for
// GetFlushCounts. Common to every system.
void CountDataFlush();
void CountFolderFlush();

// ------------------------------------------------------------ temporaries

// A temporary is the new file of a save, made by GetTempFileNameA beside the
// output, from then on "pending" until ReplaceFileA or MoveFileExA puts it in
// the output's place or DeleteFileA removes it. Pending temporaries are
// removed when the process is ended by a signal or console event that lets
// it act first; they are readable and writable by their owner only until
// they take their place. Where the system can, a temporary has no name in
// its folder until it is complete, so that even a kill leaves nothing behind.
long PendingTemporaries();

// A name for a new temporary that no file in its folder is likely to have:
// `prefix`, six letters or digits drawn from `seed` and ".tmp". `capitals`
// where the folder's names tell capitals from small letters. Common to every
// system.
std::string TemporaryName(const std::string& prefix, std::uint64_t seed, bool capitals);

// ---------------------------------------------------------------- replace
//
// ReplaceFileA(output, replacement, ...) puts the complete file
// `replacement` (a pending temporary) in the place of the existing file
// `output`, keeping the output's identity:
//
// - Kept: every name the output has (a file with other hard links is
//   written in place, so that each name shows the new picture), its owner,
//   group and mode (POSIX) or attributes (Windows), and a symbolic link at
//   `output`, which goes on naming the file it named. An output reached
//   through one of the process's own descriptors (/dev/stdout) is written
//   in place.
// - Refused, with ERROR_ACCESS_DENIED and nothing changed: an output the
//   process may not write, a folder, a device.
// - Written in place: where a new file could not keep the identity (other
//   hard links; an owner or group the process cannot give away) or the
//   system refuses the rename for a reason writing in place avoids (the
//   folder takes no new entry, the output is a mount point, the temporary
//   lies on another file system and no second temporary can be made beside
//   the output).
// - A failure leaves the earlier output byte for byte, and no temporary
//   beyond the pending one. The in-place write checks the file-size limit,
//   takes an advisory lock (concurrent runs follow one another) and
//   reserves the room the new contents need before it overwrites a byte,
//   and holds termination signals while it overwrites: only an I/O error or
//   a kill during the overwrite can leave the output changed.
//
// - An output that is gone by the time of the replace (another run's
//   replace, which on Windows takes the name away for a moment, or the
//   user) is put there as a new file.
//
// On success the replacement is gone and no longer pending; on failure it
// stays pending, for the caller to delete.
//
// MoveFileExA(replacement, output, ...) puts a pending temporary where no
// file stands yet, as a new file with the mode a new file gets.

// ------------------------------------------------------------ fault seam
//
// Each system function a port calls goes through this seam, so that a test
// can make the n-th call of one of them fail with an error of its choosing
// and show that every failure is survived. With no hook set, the seam costs
// one test of a null pointer.
enum class SystemCall {
    kOpen,      // open, openat, memfd; CreateFileA
    kRead,      // read; ReadFile
    kReadAt,    // pread; ReadFile after SetFilePointerEx
    kWrite,     // write; WriteFile
    kWriteAt,   // pwrite; WriteFile after SetFilePointerEx
    kFlush,     // fdatasync, fsync; FlushFileBuffers
    kClose,     // close; CloseHandle
    kRename,    // renameat; MoveFileExA, ReplaceFileA
    kLink,      // linkat; CreateHardLinkA
    kUnlink,    // unlinkat; DeleteFileA
    kOwner,     // fchownat
    kMode,      // fchmodat, fchmod; SetFileAttributesA
    kReserve,   // fallocate, ftruncate; SetEndOfFile
    kLock,      // flock; LockFileEx
    kAllocate,  // malloc, calloc, realloc; HeapAlloc
    kCount,
};

// The call's name, as the tests print it.
const char* SystemCallName(SystemCall call);

// Returns 0 to let the call run, or the error to fail it with: an errno
// value on POSIX, a last-error code on Windows.
using FaultHook = int (*)(SystemCall call);
void SetFaultHook(FaultHook hook);

// The error the hook chose for this call, or 0. Ports call it just before
// each system call. The seam is common to every system.
int InjectedFault(SystemCall call);

}  // namespace platform::port
