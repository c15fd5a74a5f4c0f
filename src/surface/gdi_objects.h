// Inside the bitmap services: what a bitmap section and a memory device
// context hold, the tables that know which handles are alive, and where a
// section's pixels come from. The pixel work itself is the engine's
// (src/pixels, src/resample).
#pragma once

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_set>

#include "pixels/dib_format.h"
#include "surface/platform.h"
#include "surface/port.h"

namespace platform::detail {

// A section's pixels: cleared heap memory, or for a large section a memory
// file mapped at `bits`, which copy-on-write views can share (heap.cpp).
struct SectionBits {
    std::uint8_t* bits = nullptr;
    std::size_t bytes = 0;
    port::File file = port::kNoFile;  // the memory file, if any
    std::size_t mapped = 0;           // the file's size, whole pages
    bool frozen = false;              // writes no longer reach the file
};
bool AllocateSectionBits(std::size_t bytes, SectionBits* out);
void ReleaseSectionBits(const SectionBits& bits);
// Puts a copy-on-write view of the section's pixels in the place of the
// heap block `block`, where the block is large and exactly as long as the
// section's memory file, and the section has not been viewed before. From
// then on the section's own writes no longer reach its file. True when done.
bool ViewInto(void* block, SectionBits& bits);

// The transfer's working memory: the heap's large blocks, or the test's
// allocator where one is in place.
void* AllocateWorking(std::size_t bytes);
void ReleaseWorking(void* block);
long LiveHeapBlocks();

// The platform's error code for an engine refusal.
inline DWORD ErrorFromStatus(veerpic::pixels::Status status) {
    using veerpic::pixels::Status;
    switch (status) {
        case Status::kOk:
            return ERROR_SUCCESS;
        case Status::kInvalidData:
            return ERROR_INVALID_DATA;
        case Status::kOutOfMemory:
            return ERROR_NOT_ENOUGH_MEMORY;
        case Status::kTooLarge:
            return ERROR_NOT_SUPPORTED;
        case Status::kInvalidParameter:
            break;
    }
    return ERROR_INVALID_PARAMETER;
}

}  // namespace platform::detail

namespace platform {

// A device-independent bitmap section. Its pixels hold stride * height
// bytes, zero when the section is made.
struct GdiBitmap {
    veerpic::pixels::DibFormat format;
    detail::SectionBits pixels;
    GdiDc* selectedInto = nullptr;

    veerpic::pixels::Plane Plane() const { return {&format, pixels.bits}; }
    // Row `y` counted from the top of the picture.
    std::uint8_t* RowFromTop(std::int32_t y) const { return Plane().RowFromTop(y); }
};

// A memory device context: the bitmap selected into it and its stretching mode.
struct GdiDc {
    HBITMAP selected = nullptr;  // null while the DC holds its stock 1x1 bitmap
    int stretchMode = BLACKONWHITE;
};

}  // namespace platform

namespace platform::detail {

// The objects of one kind that are alive, so that a handle that is none of
// them (or no longer alive) is refused rather than followed.
class LiveSet {
  public:
    // False when the table cannot grow.
    bool Add(const void* object) {
        try {
            std::lock_guard<std::mutex> hold(lock_);
            objects_.insert(object);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    bool Has(const void* object) {
        std::lock_guard<std::mutex> hold(lock_);
        return object != nullptr && objects_.count(object) != 0;
    }
    void Remove(const void* object) {
        std::lock_guard<std::mutex> hold(lock_);
        objects_.erase(object);
    }
    long Count() {
        std::lock_guard<std::mutex> hold(lock_);
        return static_cast<long>(objects_.size());
    }

  private:
    std::mutex lock_;
    std::unordered_set<const void*> objects_;
};

// Creates a section of `format` (stride filled in here) with zeroed pixels and
// registers it; null with the last-error code set when it cannot be made.
HBITMAP NewSection(const veerpic::pixels::DibFormat& format);

// `object` as a live bitmap, or a live DC, of this surface; null when it is
// none (or no longer alive).
GdiBitmap* AsBitmap(const void* object);
GdiDc* AsDc(const void* object);
long LiveBitmaps();
long LiveDcs();

}  // namespace platform::detail
