// Inside the file services: what files.cpp and replace.cpp share. Above all
// the registry of names that stand for something the system has not named:
// a pending temporary (made by GetTempFileNameA, perhaps without a name of
// its own yet) and a stream kept for a second reading (a pipe the image
// loader read and could not use). CreateFileA and DeleteFileA consult it
// first, so that the writer and the reader use such names as any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "surface/platform.h"
#include "surface/port.h"

namespace platform::files {

// Runs `body` and returns what it returns; where memory runs out on the way
// (a string or a table), returns `failure` with ERROR_NOT_ENOUGH_MEMORY.
// Every service that uses the standard library's containers runs inside
// one: no exception leaves the services.
template <typename T, typename Body>
T Guarded(T failure, const Body& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
}

// Sets the last-error code and returns `result`.
template <typename T>
T Fail(DWORD code, T result) {
    SetLastError(code);
    return result;
}

// A file of the port's, closed on every path.
class OpenFile {
  public:
    OpenFile() = default;
    explicit OpenFile(port::File file) : file_(file) {}
    ~OpenFile() { (void)Close(); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    port::File get() const { return file_; }
    port::File* put() { return &file_; }
    // Closes it now, with the close's code.
    port::Code Close() {
        const port::File file = file_;
        file_ = port::kNoFile;
        return file == port::kNoFile ? ERROR_SUCCESS : port::Close(file);
    }

  private:
    port::File file_ = port::kNoFile;
};

// Termination held back while alive.
class HeldTermination {
  public:
    HeldTermination() { port::HoldTermination(); }
    ~HeldTermination() { port::ReleaseTermination(); }
    HeldTermination(const HeldTermination&) = delete;
    HeldTermination& operator=(const HeldTermination&) = delete;
};

// A pending temporary: its path and its file, open until it takes its place
// or goes. `vanishes` while the system removes it with the process.
struct Pending {
    std::string path;
    port::File file = port::kNoFile;
    bool vanishes = false;
};

// Notes a new temporary as pending, or fails with ERROR_TOO_MANY_OPEN_FILES
// (its file then stays the caller's).
port::Code AddPending(const std::string& path, port::File file, bool vanishes);
// The pending temporary `path`, or null.
Pending* FindPending(const char* path);
// Gives a pending temporary its name for good: the termination clean-up
// then removes it by that name.
port::Code KeepPending(Pending& temp);
// Stops holding `path` as pending: it has taken its place.
void ForgetPending(const char* path);
// Removes the pending temporary `path` and forgets it.
port::Code DiscardPending(const char* path);
// Makes termination remove the pending temporaries first; every open for
// writing calls it.
void PrepareTermination();

// Keeps a stream that `handle` (an open file of `path`, taken over) was
// read from, with the `size` bytes already read (from std::malloc, taken
// over too) and whether it ended within them: the next CreateFileA of
// `path` for reading gets a handle that gives those bytes again and then
// the rest of the stream.
void KeepStream(LPCSTR path, HANDLE handle, std::uint8_t* bytes, std::size_t size, bool ended);

void CountDataFlush();
void CountFolderFlush();

// For GetLiveCounts.
long LiveFiles();
long PendingTemporaries();

}  // namespace platform::files
