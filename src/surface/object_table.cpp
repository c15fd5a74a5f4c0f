// The object table: which bitmaps and DCs are alive, so that a handle that is
// not one of ours (or no longer alive) is refused rather than followed; the
// making and deleting of sections; and the counts tests read.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_set>

#include "surface/gdi_objects.h"
#include "surface/port.h"

namespace platform {

namespace pixels = veerpic::pixels;

namespace {

struct ObjectTable {
    std::mutex lock;
    std::unordered_set<const void*> bitmaps;
    std::unordered_set<const void*> dcs;
};

ObjectTable& Objects() {
    static ObjectTable table;
    return table;
}

// Inserts `object` into `set`; false when the table cannot grow.
bool Register(std::unordered_set<const void*>& set, const void* object) {
    try {
        ObjectTable& t = Objects();
        std::lock_guard<std::mutex> guard(t.lock);
        set.insert(object);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

namespace {
std::atomic<const port::BlockAllocator*> testAllocator{nullptr};
std::atomic<long> dataFlushes{0};
std::atomic<long> folderFlushes{0};
}  // namespace

void port::CountDataFlush() {
    ++dataFlushes;
}

void port::CountFolderFlush() {
    ++folderFlushes;
}

void port::SetBlockAllocator(const BlockAllocator* allocator) {
    testAllocator = allocator;
}

const port::BlockAllocator* port::TestBlockAllocator() {
    return testAllocator;
}

namespace detail {

void* AllocateBlock(std::size_t bytes) {
    const port::BlockAllocator* test = testAllocator;
    return test != nullptr ? test->allocate(bytes) : std::calloc(bytes, 1);
}

void ReleaseBlock(void* block) {
    const port::BlockAllocator* test = testAllocator;
    if (test != nullptr) {
        test->release(block);
    } else {
        std::free(block);
    }
}

void* AllocateWorking(std::size_t bytes) {
    const port::BlockAllocator* test = testAllocator;
    return test != nullptr ? test->allocate(bytes) : port::AllocateWorkingMemory(bytes);
}

void ReleaseWorking(void* block) {
    const port::BlockAllocator* test = testAllocator;
    if (test != nullptr) {
        test->release(block);
    } else {
        port::ReleaseWorkingMemory(block);
    }
}

GdiBitmap* AsBitmap(const void* object) {
    if (object == nullptr) {
        return nullptr;
    }
    ObjectTable& t = Objects();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.bitmaps.count(object) != 0 ? static_cast<GdiBitmap*>(const_cast<void*>(object))
                                        : nullptr;
}

GdiDc* AsDc(const void* object) {
    if (object == nullptr) {
        return nullptr;
    }
    ObjectTable& t = Objects();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.dcs.count(object) != 0 ? static_cast<GdiDc*>(const_cast<void*>(object)) : nullptr;
}

HBITMAP NewSection(const pixels::DibFormat& format) {
    pixels::DibFormat f = format;
    std::uint32_t imageSize = 0;
    if (!pixels::DibRowAndImageSize(f.width, f.height, f.bitCount, &f.stride, &imageSize)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool injected = port::InjectedFault(port::SystemCall::kAllocate) != 0;
    auto* bitmap = injected ? nullptr : new (std::nothrow) GdiBitmap;
    if (bitmap == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Cleared: large sections come zeroed from the system without being touched.
    bitmap->bits.reset(static_cast<std::uint8_t*>(AllocateBlock(imageSize)));
    if (bitmap->bits == nullptr || !Register(Objects().bitmaps, bitmap)) {
        delete bitmap;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    port::AdviseLargePages(bitmap->bits.get(), imageSize);
    bitmap->format = f;
    bitmap->size = imageSize;
    return bitmap;
}

bool RegisterDc(GdiDc* dc) {
    return Register(Objects().dcs, dc);
}

void ForgetDc(GdiDc* dc) {
    ObjectTable& t = Objects();
    std::lock_guard<std::mutex> guard(t.lock);
    t.dcs.erase(dc);
}

void ForgetBitmap(GdiBitmap* bitmap) {
    ObjectTable& t = Objects();
    std::lock_guard<std::mutex> guard(t.lock);
    t.bitmaps.erase(bitmap);
}

}  // namespace detail

BOOL DeleteObject(HGDIOBJ object) {
    GdiBitmap* bitmap = detail::AsBitmap(object);
    if (bitmap == nullptr) {
        if (object != nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
        }
        return FALSE;
    }
    if (bitmap->selectedInto != nullptr) {
        return FALSE;  // a bitmap selected into a DC cannot be deleted
    }
    detail::ForgetBitmap(bitmap);
    delete bitmap;
    return TRUE;
}

LiveCounts GetLiveCounts() {
    LiveCounts counts{};
    {
        ObjectTable& t = Objects();
        std::lock_guard<std::mutex> guard(t.lock);
        counts.bitmaps = static_cast<long>(t.bitmaps.size());
        counts.dcs = static_cast<long>(t.dcs.size());
    }
    counts.heapBlocks = port::LiveHeapBlocks();
    counts.files = port::LiveFiles();
    counts.temporaries = port::PendingTemporaries();
    return counts;
}

FlushCounts GetFlushCounts() {
    return FlushCounts{dataFlushes.load(), folderFlushes.load()};
}

}  // namespace platform
