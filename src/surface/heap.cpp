// The process heap and the services' other memory. Small blocks come from the
// system's heap; large ones are pages the system hands out cleared (nothing
// clears them again), which GetDIBits may replace with a copy-on-write view
// of a large section's memory file: the writer's block of a canvas then
// costs no fresh memory and no copy until one of the two is written.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "surface/port.h"
#include "surface/services.h"
#include "surface/testing.h"

namespace platform {

namespace {

int processHeapTag;
std::atomic<long> liveHeapBlocks{0};
std::atomic<const BlockAllocator*> testAllocator{nullptr};

// From this size on a block is whole pages of its own.
constexpr std::size_t kLarge = std::size_t{1} << 20;

// The large blocks handed out: where, how long, and whether a view of a
// section stands there now.
struct Large {
    void* at = nullptr;
    std::size_t bytes = 0;  // whole pages
    std::size_t asked = 0;  // what the caller asked for
    bool view = false;
    port::File file = port::kNoFile;  // the view's memory file, a handle of the block's own
};
constexpr int kMaxLarge = 32;
std::mutex largeLock;
Large large[kMaxLarge];

// `bytes` rounded up to whole pages; 0 when that overflows.
std::size_t WholePages(std::size_t bytes) {
    const std::size_t page = port::PageSize();
    return bytes > SIZE_MAX - page ? 0 : (bytes + page - 1) / page * page;
}

// Pages for a large block; null where none can be had or the table is full.
void* AllocateLarge(std::size_t bytes) {
    const std::size_t pages = WholePages(bytes);
    std::lock_guard<std::mutex> hold(largeLock);
    for (Large& slot : large) {
        if (slot.at == nullptr) {
            slot.at = pages == 0 ? nullptr : port::MapPages(pages);
            slot.bytes = pages;
            slot.asked = bytes;
            slot.view = false;
            port::AdviseLargePages(slot.at, pages);
            return slot.at;
        }
    }
    return nullptr;
}

// Frees `block` where it is a large one; false where it is not.
bool FreeLarge(void* block) {
    std::lock_guard<std::mutex> hold(largeLock);
    for (Large& slot : large) {
        if (slot.at != nullptr && slot.at == block) {
            port::Unmap(slot.at, slot.bytes, slot.view);
            if (slot.file != port::kNoFile) {
                port::Close(slot.file);
            }
            slot = Large{};
            return true;
        }
    }
    return false;
}

void* AllocateAny(std::size_t bytes, bool cleared) {
    void* block = bytes >= kLarge ? AllocateLarge(bytes) : nullptr;
    return block != nullptr ? block : port::AllocateBlock(bytes == 0 ? 1 : bytes, cleared);
}

void FreeAny(void* block) {
    if (block != nullptr && !FreeLarge(block)) {
        port::FreeBlock(block);
    }
}

}  // namespace

namespace detail {

bool AllocateSectionBits(std::size_t bytes, bool viewable, SectionBits* out) {
    *out = SectionBits{};
    out->bytes = bytes;
    if (const BlockAllocator* test = testAllocator; test != nullptr) {
        out->bits = static_cast<std::uint8_t*>(test->allocate(bytes));
        return out->bits != nullptr;
    }
    void* view = nullptr;
    const std::size_t pages = viewable && bytes >= kLarge ? WholePages(bytes) : 0;
    if (pages != 0 && port::CreateMemoryFile(pages, &out->file, &view) == ERROR_SUCCESS) {
        // Where the system gives memory files large pages on advice only.
        port::AdviseLargePages(view, pages);
        out->bits = static_cast<std::uint8_t*>(view);
        out->mapped = pages;
        return true;
    }
    out->bits = static_cast<std::uint8_t*>(AllocateAny(bytes, true));
    return out->bits != nullptr;
}

void FillSectionBits(const SectionBits& bits) {
    if (bits.file != port::kNoFile && !bits.frozen) {
        port::FillWithLargePages(bits.bits, bits.mapped);
    }
}

void ReleaseSectionBits(const SectionBits& bits) {
    if (bits.bits == nullptr) {
        return;
    }
    if (const BlockAllocator* test = testAllocator; test != nullptr) {
        test->release(bits.bits);
    } else if (bits.file != port::kNoFile) {
        port::Unmap(bits.bits, bits.mapped, true);
        port::Close(bits.file);
    } else {
        FreeAny(bits.bits);
    }
}

bool ViewInto(void* block, SectionBits& bits) {
    if (bits.file == port::kNoFile || bits.frozen) {
        return false;
    }
    std::lock_guard<std::mutex> hold(largeLock);
    for (Large& slot : large) {
        // The block exactly the picture: no byte of the caller's beyond it changes.
        if (slot.at == block && block != nullptr && !slot.view && slot.asked == bits.bytes) {
            // The section stops writing into its file first, so that the
            // view keeps what it sees now, whatever is drawn afterwards.
            if (port::MapCopyView(bits.file, bits.mapped, bits.bits, true) != ERROR_SUCCESS) {
                return false;
            }
            bits.frozen = true;
            slot.view = port::MapCopyView(bits.file, slot.bytes, block, false) == ERROR_SUCCESS;
            // The block may outlive the section: it keeps the file open for
            // writing it from there (without, it is written from memory).
            if (slot.view && port::Duplicate(bits.file, &slot.file) != ERROR_SUCCESS) {
                slot.file = port::kNoFile;
            }
            return slot.view;
        }
    }
    return false;
}

bool ViewOfSection(const void* buffer, std::size_t bytes, port::File* file, std::uint64_t* offset) {
    const auto at = reinterpret_cast<std::uintptr_t>(buffer);
    std::lock_guard<std::mutex> hold(largeLock);
    for (const Large& slot : large) {
        const auto start = reinterpret_cast<std::uintptr_t>(slot.at);
        if (slot.file != port::kNoFile && at >= start && bytes <= slot.asked &&
            at - start <= slot.asked - bytes) {
            *file = slot.file;
            *offset = at - start;
            return true;
        }
    }
    return false;
}

void* AllocateWorking(std::size_t bytes) {
    const BlockAllocator* test = testAllocator;
    return test != nullptr ? test->allocate(bytes) : AllocateAny(bytes, false);
}

void ReleaseWorking(void* block) {
    if (const BlockAllocator* test = testAllocator; test != nullptr) {
        test->release(block);
    } else {
        FreeAny(block);
    }
}

long LiveHeapBlocks() {
    return liveHeapBlocks.load();
}

}  // namespace detail

void SetBlockAllocator(const BlockAllocator* allocator) {
    testAllocator = allocator;
}

HANDLE GetProcessHeap() {
    return &processHeapTag;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap != &processHeapTag) {
        return detail::Fail(ERROR_INVALID_HANDLE, nullptr);
    }
    void* block = AllocateAny(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
    if (block == nullptr) {
        return detail::Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    ++liveHeapBlocks;
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    (void)flags;
    if (heap != &processHeapTag || block == nullptr) {
        return detail::Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    FreeAny(block);
    --liveHeapBlocks;
    return TRUE;
}

}  // namespace platform
