// The POSIX port's own parts, shared between its files: where a path leads,
// the pending temporaries, and the flushes it counts.
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "surface/port.h"

namespace platform::posix {

// ------------------------------------------------------------------ paths

// A path as an open descriptor of its folder and its last name. Every call
// below works relative to the folder, so a path whose folder can be opened
// works even when the folder and a temporary's name together would exceed
// the system's limit on the length of a path.
class Located {
  public:
    explicit Located(const std::string& path);
    ~Located();
    Located(const Located&) = delete;
    Located& operator=(const Located&) = delete;

    // ERROR_SUCCESS, or why the folder cannot be reached.
    DWORD error() const { return error_; }
    int dir() const { return dir_; }
    const char* leaf() const { return leaf_.c_str(); }

  private:
    int dir_;
    std::string leaf_;
    DWORD error_ = ERROR_SUCCESS;
};

// The folder part of `path`: "." when it has none, "/" for a name in the root.
std::string FolderOf(const std::string& path);

// Follows the symbolic links at the end of `path` to the name they end at,
// which need not exist. `descriptor` becomes true when a link on the way is
// one of the process's descriptor links (/dev/stdout, /dev/fd/N lead there):
// such a name stands for a stream the process already holds, not for a file
// to be replaced. Returns 0 or the errno value (ELOOP for a loop).
int FollowLinks(const std::string& path, std::string* target, bool* descriptor);

// ------------------------------------------------------------ temporaries

// Takes over the signals that end a process, so that they remove the pending
// temporaries first. Called before anything is written.
void PrepareSignals();

// Makes a new, empty temporary in the folder `dir` (reached as `folderPath`),
// named for `prefix` (at most 3 characters), readable and writable by its owner only, and notes it
// as pending. Where the file system can, the file has no name until NamePending gives it one.
// Returns the path it is known by (`folderPath` and a unique name, which no
// file has), or an empty string with errno set.
std::string CreateTemporary(int dir, const std::string& folderPath, const std::string& prefix);

// Opens the pending temporary `path` for writing or reading: a new
// descriptor; -1 with errno set; or -2 when it is no unnamed temporary (then
// it is opened by its name, as any file).
int OpenUnnamed(const char* path);

// Whether `path` names a pending temporary.
bool IsPending(const char* path);

// Gives the pending temporary `path` the name it is known by, in its folder
// `dir`, where it has none yet (any other path has its name). 0 or errno.
int NamePending(const char* path, int dir, const char* leaf);

// Stops treating `path` as pending (it has taken its place, or is gone).
void ForgetPending(const char* path);

// Removes the pending temporary `path` (its name, where it has one) and
// forgets it. 0, or errno when its name could not be removed (it then stays
// pending).
int DiscardPending(const char* path);

// Holds the termination signals (INT, TERM, HUP, QUIT, PIPE, XFSZ) while an
// output is overwritten in place; they act when the holder goes.
class HeldSignals {
  public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

  private:
    sigset_t previous_;
};

// The mode a new file gets under the process's file-creation mask.
mode_t NewFileMode();

// ------------------------------------------------------------------ reads

// Reads [at, at + count) of the regular file `fd` into `out`, one range a
// core, and returns the bytes read as one read would have them: a range cut
// short by the end of the file ends the result there. -1 with errno set when
// a range fails.
std::int64_t ReadShared(int fd, std::uint8_t* out, std::uint64_t count, off_t at);

// ----------------------------------------------------------------- flushes

// Flushes a file's data, or a folder's entries, to the disk, and counts it.
int FlushFileData(int fd);
void FlushFolder(int dir);

}  // namespace platform::posix
