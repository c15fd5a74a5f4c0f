// Inside the services: what their system-neutral files share. Sections and
// device contexts; where a section's pixels come from; and the registry of
// names that stand for what the system has not named: a pending temporary
// (perhaps without a name of its own yet) and a stream kept for a second
// reading. CreateFileA and DeleteFileA consult the registry first.
#pragma once

#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

#include "pixels/dib_format.h"
#include "surface/platform.h"
#include "surface/port.h"

namespace platform::detail {

// Runs `body`; where memory runs out on the way (a string or a table),
// returns `failure` with ERROR_NOT_ENOUGH_MEMORY: no exception leaves.
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

// The objects of one kind that are alive, so that a handle that is none of
// them (or no longer alive) is refused rather than followed.
class LiveSet {
  public:
    bool Add(const void* object) {  // false when the table cannot grow
        try {
            std::lock_guard<std::mutex> hold(lock_);
            return objects_.insert(object).second;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    bool Has(const void* object) {
        std::lock_guard<std::mutex> hold(lock_);
        return object != nullptr && objects_.count(object) != 0;
    }
    bool Remove(const void* object) {  // false when it was none of them
        std::lock_guard<std::mutex> hold(lock_);
        return objects_.erase(object) != 0;
    }
    long Count() {
        std::lock_guard<std::mutex> hold(lock_);
        return static_cast<long>(objects_.size());
    }

  private:
    std::mutex lock_;
    std::unordered_set<const void*> objects_;
};

// A file of the port's, closed on every path.
class OpenFile {
  public:
    OpenFile() = default;
    ~OpenFile() { (void)Close(); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    port::File get() const { return file_; }
    port::File* put() { return &file_; }
    port::File release() { return std::exchange(file_, port::kNoFile); }
    port::Code Close() {  // now, with the close's code
        const port::File file = release();
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

// ------------------------------------------------------------ the registry

// A pending temporary: its path and its file, open until it takes its place
// or goes; `vanishes` while the system removes it with the process.
struct Pending {
    std::string path;
    port::File file = port::kNoFile;
    bool vanishes = false;
};
// Notes a new temporary as pending: ERROR_TOO_MANY_OPEN_FILES where the
// table is full (its file then stays the caller's).
port::Code AddPending(const std::string& path, port::File file, bool vanishes);
Pending* FindPending(const char* path);
// Gives a pending temporary its name for good: termination then removes it by it.
port::Code KeepPending(Pending& temp);
// Stops holding `path` as pending (it has taken its place), or removes it too.
void ForgetPending(const char* path);
port::Code DiscardPending(const char* path);
// Makes termination remove the pending temporaries first; every open for
// writing calls it.
void PrepareTermination();
// Takes over `handle`, a stream of `path`, with the `size` bytes read from
// it (std::malloc's) and whether it ended within them: the next CreateFileA
// of `path` for reading gets it back, to give those bytes again, then the rest.
void KeepStream(LPCSTR path, HANDLE handle, std::uint8_t* bytes, std::size_t size, bool ended);

void CountDataFlush();
void CountFolderFlush();
bool EndsInSeparator(const std::string& path);

// ------------------------------------------------------------ memory

// A section's pixels: cleared heap memory, or for a large section a memory
// file mapped at `bits`, which copy-on-write views can share (heap.cpp).
struct SectionBits {
    std::uint8_t* bits = nullptr;
    std::size_t bytes = 0;
    port::File file = port::kNoFile;  // the memory file, if any
    std::size_t mapped = 0;           // its size, whole pages
    bool frozen = false;              // writes no longer reach the file
};
// A section that may be saved keeps its large pixels in a memory file
// (`viewable`); others in fresh pages, which large pages may back.
bool AllocateSectionBits(std::size_t bytes, bool viewable, SectionBits* out);
// Before the section is drawn nearly whole: its memory file on large pages.
void FillSectionBits(const SectionBits& bits);
void ReleaseSectionBits(const SectionBits& bits);
// Puts a copy-on-write view of the section's pixels in the place of the
// large heap block `block` of the picture's size, once for a section, whose
// own writes then no longer reach the file. True when done.
bool ViewInto(void* block, SectionBits& bits);
// Where the `bytes` at `buffer` lie in a large heap block that is a view of
// a section's memory file: that file (the block's own handle) and where in
// it they start. False for any other memory.
bool ViewOfSection(const void* buffer, std::size_t bytes, port::File* file, std::uint64_t* offset);
// The transfer's working memory: large heap blocks, or the test's allocator.
void* AllocateWorking(std::size_t bytes);
void ReleaseWorking(void* block);

// ------------------------------------------------------------ bitmaps

// The platform's error code for an engine refusal.
DWORD ErrorFromStatus(veerpic::pixels::Status status);

// Creates a section of `format` with zeroed pixels and registers it; null
// with the last-error code set when it cannot be made.
HBITMAP NewSection(const veerpic::pixels::DibFormat& format, bool viewable = true);
// `object` as a live bitmap, or a live DC; null when it is none.
GdiBitmap* AsBitmap(const void* object);
GdiDc* AsDc(const void* object);

long LiveBitmaps();
long LiveDcs();
long LiveHeapBlocks();
long LiveFiles();
long PendingTemporaries();

}  // namespace platform::detail

namespace platform {

// A device-independent bitmap section.
struct GdiBitmap {
    veerpic::pixels::DibFormat format;
    detail::SectionBits pixels;
    GdiDc* selectedInto = nullptr;

    veerpic::pixels::Plane Plane() const { return {&format, pixels.bits}; }
    std::uint8_t* RowFromTop(std::int32_t y) const { return Plane().RowFromTop(y); }
};

// A memory device context: the bitmap selected into it and its stretching mode.
struct GdiDc {
    HBITMAP selected = nullptr;  // null while the DC holds its stock 1x1 bitmap
    int stretchMode = BLACKONWHITE;
};

}  // namespace platform
