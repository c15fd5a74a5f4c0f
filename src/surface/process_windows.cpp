// The Windows port's process-wide parts: temporaries marked for deletion
// until they are complete, so that even a process ended by force leaves
// none; the console's control events; and memory: the process heap, fresh
// pages, and file mappings with copy-on-write views.
#include <string>

#include "surface/system_calls_windows.h"

namespace platform::port {

namespace {

using windows::AsHandle;
using windows::Run;

// Whether the file goes when its last handle closes.
Code MarkForDeletion(File file, bool mark) {
    ::FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = mark ? TRUE : FALSE;
    return Run([&] {
        return ::SetFileInformationByHandle(AsHandle(file), FileDispositionInfo, &disposition,
                                            sizeof disposition) != 0;
    });
}

// The lock the control handler takes for good: it waits for every holder of
// termination first.
SRWLOCK eventLock = SRWLOCK_INIT;
void (*volatile cleanupHook)() = nullptr;
thread_local int holds = 0;

BOOL WINAPI CleanUpAndEnd(::DWORD event) {
    ::AcquireSRWLockExclusive(&eventLock);
    if (void (*cleanup)() = cleanupHook; cleanup != nullptr) {
        cleanup();
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        // End as the platform's own handler ends a process on Ctrl+C, with
        // the lock still held, so that no temporary is made or moved meanwhile.
        ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
    return FALSE;  // closing, logging off, shutting down: the platform ends the process
}

}  // namespace

Code CreateTemporary(const char* path, File* file, bool* vanishes) {
    const Code code = Run(SystemCall::kOpen, [&] {
        const HANDLE handle =
            windows::OpenWide(path, GENERIC_READ | GENERIC_WRITE | DELETE, windows::kShareAll,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        *file = reinterpret_cast<File>(handle);
        return handle != INVALID_HANDLE_VALUE;
    });
    if (code != ERROR_SUCCESS) {
        return code == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : code;
    }
    // Marked, it goes with its last handle, at the latest as the process ends
    // however it ends; where a file system cannot mark it, the console
    // handler removes it by its name.
    *vanishes = MarkForDeletion(*file, true) == ERROR_SUCCESS;
    return ERROR_SUCCESS;
}

Code KeepTemporary(File file, const char* path) {
    (void)path;  // it has its name already
    const int injected = InjectedFault(SystemCall::kLink);
    return injected != 0 ? static_cast<Code>(injected) : MarkForDeletion(file, false);
}

void RemoveInHandler(const char* path) {
    std::wstring wide;
    if (windows::Wide(path, &wide)) {
        ::DeleteFileW(wide.c_str());
    }
}

void TakeOverTermination(void (*cleanup)()) {
    cleanupHook = cleanup;
    static const bool installed = ::SetConsoleCtrlHandler(CleanUpAndEnd, TRUE) != 0;
    (void)installed;
}

void HoldTermination() {
    if (holds++ == 0) {
        ::AcquireSRWLockShared(&eventLock);
    }
}

void ReleaseTermination() {
    if (--holds == 0) {
        ::ReleaseSRWLockShared(&eventLock);
    }
}

void* AllocateBlock(std::size_t bytes, bool cleared) {
    return InjectedFault(SystemCall::kAllocate) != 0
               ? nullptr
               : ::HeapAlloc(::GetProcessHeap(), cleared ? HEAP_ZERO_MEMORY : 0, bytes);
}

void FreeBlock(void* block) {
    if (block != nullptr) {
        ::HeapFree(::GetProcessHeap(), 0, block);
    }
}

// Views of a mapping start at the allocation granularity.
std::size_t PageSize() {
    static const std::size_t granularity = [] {
        ::SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        return static_cast<std::size_t>(info.dwAllocationGranularity);
    }();
    return granularity;
}

void* MapPages(std::size_t bytes) {
    return InjectedFault(SystemCall::kAllocate) != 0
               ? nullptr
               : ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void Unmap(void* pages, std::size_t bytes, bool view) {
    (void)bytes;
    if (view) {
        ::UnmapViewOfFile(pages);
    } else {
        ::VirtualFree(pages, 0, MEM_RELEASE);
    }
}

Code CreateMemoryFile(std::size_t bytes, File* file, void** view) {
    HANDLE mapping = nullptr;
    Code code = Run(SystemCall::kOpen, [&] {
        const auto size = static_cast<std::uint64_t>(bytes);
        mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                       static_cast<::DWORD>(size >> 32), static_cast<::DWORD>(size),
                                       nullptr);
        return mapping != nullptr;
    });
    if (code == ERROR_SUCCESS) {
        code = Run(SystemCall::kAllocate, [&] {
            *view = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, bytes);
            return *view != nullptr;
        });
        if (code != ERROR_SUCCESS) {
            ::CloseHandle(mapping);
        }
    }
    *file = reinterpret_cast<File>(mapping);
    return code;
}

// Puts a view of `access` at `at`, where the caller has just freed the
// address: no other thread of the process allocates meanwhile.
Code ViewAt(File file, std::size_t bytes, void* at, ::DWORD access) {
    return Run(SystemCall::kAllocate,
               [&] { return ::MapViewOfFileEx(AsHandle(file), access, 0, 0, bytes, at) == at; });
}

Code MapCopyView(File file, std::size_t bytes, void* at, bool overView) {
    if (overView) {
        ::UnmapViewOfFile(at);
    } else {
        ::VirtualFree(at, 0, MEM_RELEASE);
    }
    const Code code = ViewAt(file, bytes, at, FILE_MAP_COPY);
    if (code != ERROR_SUCCESS && overView) {
        (void)ViewAt(file, bytes, at, FILE_MAP_WRITE);  // the view it was
    } else if (code != ERROR_SUCCESS) {
        // Fresh pages in their place again: the caller fills them itself.
        ::VirtualAlloc(at, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    }
    return code;
}

// Large pages need a privilege that an ordinary user does not hold on
// Windows; blocks and views keep the ordinary pages.
void AdviseLargePages(void* block, std::size_t bytes) {
    (void)block;
    (void)bytes;
}

void FillWithLargePages(void* view, std::size_t bytes) {
    (void)view;
    (void)bytes;
}

}  // namespace platform::port
