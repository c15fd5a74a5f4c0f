// The process heap and the transfer's working memory, on POSIX: the C heap,
// with large-page advice for large blocks and one large block kept back.
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "surface/port.h"
#include "surface/system_calls_posix.h"

namespace platform {
namespace {

std::atomic<long> liveHeapBlocks{0};
int processHeapTag;

// Every block starts with a header that holds its size, so that a freed
// block is known without a table (which could fail to grow on the way).
struct alignas(16) Header {
    std::size_t bytes;
};
constexpr std::size_t kHeader = sizeof(Header);

// Large blocks come from here. The last one freed is kept back for the next
// request of about its size that need not start cleared: a turn frees its
// working memory just before the writer asks for a block of nearly the same
// size, and the pages already in hand spare the system clearing as many new
// ones. A request the kept block does not fit releases it first, so no more
// memory is held at any time than without it; it is released at exit too.
class Blocks {
  public:
    static constexpr std::size_t kLarge = std::size_t{4} << 20;

    ~Blocks() { std::free(spare_); }

    void* Allocate(std::size_t bytes, bool cleared) {
        if (bytes > SIZE_MAX - kHeader) {
            return nullptr;
        }
        Header* block = nullptr;
        if (bytes >= kLarge && !cleared) {
            std::lock_guard<std::mutex> hold(lock_);
            if (spare_ != nullptr && spare_->bytes >= bytes && spare_->bytes / 2 <= bytes) {
                block = spare_;
                spare_ = nullptr;
                return block + 1;
            }
            std::free(spare_);
            spare_ = nullptr;
        }
        block = static_cast<Header*>(cleared ? posix::AllocateCleared(kHeader + bytes)
                                             : posix::Allocate(kHeader + bytes));
        if (block == nullptr) {
            return nullptr;
        }
        block->bytes = bytes;
        if (bytes >= kLarge) {
            port::AdviseLargePages(block, kHeader + bytes);
        }
        return block + 1;
    }

    void Free(void* memory) {
        if (memory == nullptr) {
            return;
        }
        Header* block = static_cast<Header*>(memory) - 1;
        if (block->bytes < kLarge) {
            std::free(block);
            return;
        }
        std::lock_guard<std::mutex> hold(lock_);
        std::free(spare_);
        spare_ = block;
    }

  private:
    std::mutex lock_;
    Header* spare_ = nullptr;
};

Blocks& TheBlocks() {
    static Blocks blocks;
    return blocks;
}

}  // namespace
}  // namespace platform

void platform::port::AdviseLargePages(void* block, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
    // Measured on the development machine: a 12-Mpx turn gains (fewer
    // faults, less system time), but for blocks of several hundred MiB the
    // system's cost of providing large pages outgrows the gain.
    constexpr std::size_t kLargest = std::size_t{256} << 20;
    if (block == nullptr || bytes < 2 * kLargePage || bytes > kLargest) {
        return;
    }
    // The whole large pages inside the block.
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kLargePage - 1);
    if (first < end) {
        // Advice only: a refusal leaves ordinary pages, which work as well.
        (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
#else
    (void)block;
    (void)bytes;
#endif
}

void* platform::port::AllocateWorkingMemory(std::size_t bytes) {
    return TheBlocks().Allocate(bytes, false);
}

void platform::port::ReleaseWorkingMemory(void* block) {
    TheBlocks().Free(block);
}

long platform::port::LiveHeapBlocks() {
    return liveHeapBlocks.load();
}

platform::HANDLE platform::GetProcessHeap() {
    return &processHeapTag;
}

platform::LPVOID platform::HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap != &processHeapTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* block = TheBlocks().Allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ++liveHeapBlocks;
    return block;
}

platform::BOOL platform::HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    (void)flags;
    if (heap != &processHeapTag || block == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TheBlocks().Free(block);
    --liveHeapBlocks;
    return TRUE;
}
