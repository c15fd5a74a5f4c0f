// The process heap and the transfer's working memory on Windows: the
// platform's heap, and the C heap for working memory.
#include <atomic>
#include <cstdlib>

#include "surface/port_windows.h"

namespace {
std::atomic<long> liveHeapBlocks{0};
}  // namespace

// Large pages need a privilege that an ordinary user does not hold on
// Windows; blocks keep the ordinary pages.
void platform::port::AdviseLargePages(void* block, std::size_t bytes) {
    (void)block;
    (void)bytes;
}

void* platform::port::AllocateWorkingMemory(std::size_t bytes) {
    return windows::Allocate(bytes);
}

void platform::port::ReleaseWorkingMemory(void* block) {
    std::free(block);
}

long platform::port::LiveHeapBlocks() {
    return liveHeapBlocks.load();
}

platform::HANDLE platform::GetProcessHeap() {
    return ::GetProcessHeap();
}

platform::LPVOID platform::HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    LPVOID block =
        windows::HeapAllocate(heap, static_cast<::DWORD>(flags & HEAP_ZERO_MEMORY), bytes);
    if (block == nullptr) {
        // The platform's allocation sets no code of its own when it fails.
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ++liveHeapBlocks;
    return block;
}

platform::BOOL platform::HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    if (heap == nullptr || block == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const windows::KeepLastError kept;
    if (!::HeapFree(heap, static_cast<::DWORD>(flags), block)) {
        return FALSE;
    }
    --liveHeapBlocks;
    kept.Restore();
    return TRUE;
}
