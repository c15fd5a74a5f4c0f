// The primitive operations each system's port (the *_posix or *_windows
// files, as the build chooses) supplies; the services' policy is written once
// over these, in the system-neutral files of this folder. One convention for
// every primitive that can fail: it returns ERROR_SUCCESS or the platform's
// code for the failure, and leaves the thread's last-error code alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "surface/platform.h"

namespace platform::port {

using Code = DWORD;

// A file the system has opened: a descriptor, or a handle.
using File = std::intptr_t;
inline constexpr File kNoFile = -1;

// ------------------------------------------------------------------ files

// Opens `path` with the platform's access bits, sharing (where the system
// has mandatory sharing) and creation disposition, which the caller has
// checked. Folders open too, for the caller to refuse.
Code Open(const char* path, DWORD access, DWORD share, DWORD creation, File* file);
// A second file of the same open file, with a lifetime of its own.
Code Duplicate(File file, File* copy);
Code Close(File file);

// One read or write of at most `count` bytes, `*done` what moved: at the
// file's own position, or at `at`. A read at the end of a file, or of a pipe
// whose writer has gone, moves 0 bytes and succeeds. An interrupted call is
// made again.
Code Read(File file, void* buffer, DWORD count, DWORD* done);
Code ReadAt(File file, void* buffer, DWORD count, std::uint64_t at, DWORD* done);
Code Write(File file, const void* buffer, DWORD count, DWORD* done);
Code WriteAt(File file, const void* buffer, DWORD count, std::uint64_t at, DWORD* done);

// Puts the file's written data on the disk.
Code Flush(File file);
Code SetLength(File file, std::uint64_t length);
// Reserves room for `length` bytes without changing the length or a byte:
// ERROR_NOT_SUPPORTED where the file system cannot.
Code Reserve(File file, std::uint64_t length);
// Locks the whole file for this process, waiting for an earlier holder; the
// lock goes with the file. ERROR_NOT_SUPPORTED where there are no locks.
Code Lock(File file);

// What a file is and who may do what with it.
struct Identity {
    enum class Kind { kMissing, kRegular, kFolder, kDevice };  // devices, pipes, consoles
    Kind kind = Kind::kMissing;
    std::uint64_t volume = 0;  // the file system it lies on
    std::uint64_t number = 0;  // the file's number there
    std::uint64_t size = 0;
    std::uint32_t links = 0;  // its names
    std::uint32_t owner = 0;  // owner, group and permission bits where the system has them
    std::uint32_t group = 0;
    std::uint32_t mode = 0;
    DWORD attributes = 0;   // the platform's attributes, as far as the system has them
    bool writable = false;  // this process may open it for writing
};
Code Query(File file, Identity* identity);
// What stands at `path`, its links followed: Kind::kMissing, and success,
// where nothing does but its folder exists.
Code QueryPath(const char* path, Identity* identity);
// Gives the file the owner, group and mode (POSIX) or attributes (Windows)
// of `old`, or with null the mode a new file gets. ERROR_ACCESS_DENIED where
// the system refuses them.
Code TakeIdentity(File file, const Identity* old);

// ------------------------------------------------------------------ names

Code Unlink(const char* path);
// Renames `from` to `to` in one step, replacing a file that stands there.
Code RenameOver(const char* from, const char* to);
// Puts the entries of the folder `folder` on the disk.
Code FlushFolder(const char* folder);
// Where the links at the end of `path` lead, followed as the system's own
// open would follow them: ERROR_ACCESS_DENIED where the system's protection
// refuses to follow one, ERROR_CANT_RESOLVE_FILENAME for a loop. `held`
// becomes true where the path leads to one of the process's own streams
// (/dev/stdout, /dev/fd/1).
Code FinalPath(const char* path, std::string* target, bool* held);
// How the system spells a path: its separators, and in a double-byte code
// page the lead bytes whose trail byte is never one; "C:" drives where the
// separator is a backslash.
bool IsSeparator(char c);
bool IsLeadByte(char c);
inline constexpr char kSeparator =
#if defined(_WIN32)
    '\\';
#else
    '/';
#endif
inline constexpr bool kDrives = kSeparator == '\\';
// Whether the names of a folder tell capitals from small letters.
inline constexpr bool kCaseSensitiveNames = kSeparator == '/';
// The folder for temporaries with no place beside their output.
std::string TemporaryFolder();
// The largest file this process may write (its file-size limit).
std::uint64_t FileSizeLimit();
// A number that differs between processes and over time.
std::uint64_t UniqueSeed();

// ------------------------------------------------------------ temporaries

// Makes the new file `path`, readable and writable by its owner only:
// ERROR_FILE_EXISTS where a file has that name. Where the system can,
// the file goes with the process until KeepTemporary (it has no name yet, or
// is marked for deletion): `*vanishes` tells which.
Code CreateTemporary(const char* path, File* file, bool* vanishes);
// Gives the temporary open as `file`, one that goes with the process, its
// name `path` for good.
Code KeepTemporary(File file, const char* path);
// Removes `path`, with only the calls a termination handler may make.
void RemoveInHandler(const char* path);

// ------------------------------------------------------------ termination

// Has `cleanup` run when a signal or console event ends the process and lets
// it act first; the process then ends as the event would have ended it.
// Events the process was started with ignored stay ignored. Called before
// anything is written.
void TakeOverTermination(void (*cleanup)());
// Holds back exactly the events TakeOverTermination takes over until the
// last release; holds nest.
void HoldTermination();
void ReleaseTermination();

// ------------------------------------------------------------------ memory

// The system's heap, for blocks below a page file's worth.
void* AllocateBlock(std::size_t bytes, bool cleared);
void FreeBlock(void* block);
// The granularity of MapPages and of views: `bytes` are multiples of it.
std::size_t PageSize();
// Fresh pages, cleared by the system; and their release, or a view's.
void* MapPages(std::size_t bytes);
void Unmap(void* pages, std::size_t bytes, bool view);
// A file in memory of `bytes` bytes, cleared, mapped for reading and writing;
// it goes with its view (Unmap) and its file (Close).
Code CreateMemoryFile(std::size_t bytes, File* file, void** view);
// Puts a copy-on-write view of the memory file `file` in the place of the
// pages at `at` (`bytes` long, the file's size): fresh pages from MapPages,
// or the file's own view (`overView`), whose writes then no longer reach the
// file. Reads see the file's pages until the view writes its own. On failure
// the pages at `at` are as they were, or fresh ones.
Code MapCopyView(File file, std::size_t bytes, void* at, bool overView);
// Writes the `count` bytes at `view`, in a copy-on-write view of the memory
// file `from` (they start at its `offset`), into `file` at `at` straight from
// the memory file, without mapping them, where the view has written none of
// their pages; the file's own position stays. ERROR_NOT_SUPPORTED, with
// nothing written, where the view has or the system cannot tell or cannot
// write so: the caller writes them from memory.
Code WriteFromView(File file, File from, std::uint64_t offset, const void* view, DWORD count,
                   std::uint64_t at, DWORD* done);
// Advice to back a large block with large pages; a system without them
// keeps ordinary ones.
void AdviseLargePages(void* block, std::size_t bytes);
// Gives a memory file's view (from CreateMemoryFile) large pages at once,
// keeping what it holds, where the system can: for a view about to be
// written nearly whole, whose small pages would cost a fault each.
void FillWithLargePages(void* view, std::size_t bytes);

}  // namespace platform::port
