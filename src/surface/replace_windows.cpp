// Putting a complete temporary in the place of an output on Windows, keeping
// the output's identity (see port.h): the platform's ReplaceFileA, which
// keeps the replaced file's attributes and security, or, for a file with
// more than one name, its contents written into the file itself.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "surface/port_windows.h"

namespace platform {

namespace {

// A handle closed on every path.
class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    // Closes it now; false with the code set when that fails.
    bool Release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return windows::Close(handle);
    }

  private:
    HANDLE handle_;
};

// The number of names the file at `path` has; 0 when it cannot be asked.
::DWORD LinksOf(LPCSTR path) {
    Handle file(windows::OpenForQuery(path, 0, FILE_ATTRIBUTE_NORMAL));
    BY_HANDLE_FILE_INFORMATION info{};
    if (file.get() == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(file.get(), &info)) {
        return 0;
    }
    return info.nNumberOfLinks;
}

// The buffer a copy goes through, had before anything is written.
constexpr ::DWORD kBuffer = ::DWORD{1} << 20;
using Buffer = std::unique_ptr<char, decltype(&std::free)>;

// Copies the whole of `in` over `out` from its start through `buffer` and
// ends `out` there; the file's data reach the disk. False with the code set.
bool CopyContents(HANDLE in, HANDLE out, LONGLONG size, const Buffer& buffer) {
    for (LONGLONG at = 0; at < size;) {
        const auto want = static_cast<::DWORD>(size - at < kBuffer ? size - at : kBuffer);
        ::DWORD got = 0;
        if (!windows::ReadAt(in, buffer.get(), want, &got, at)) {
            return false;
        }
        if (got == 0) {
            ::SetLastError(ERROR_HANDLE_EOF);  // the temporary is shorter than it was
            return false;
        }
        ::DWORD done = 0;
        if (!windows::WriteAt(out, buffer.get(), got, &done, at) || done != got) {
            if (::GetLastError() == ERROR_SUCCESS) {
                ::SetLastError(ERROR_DISK_FULL);
            }
            return false;
        }
        at += got;
    }
    if (!windows::SetEnd(out, size) || !windows::Flush(out)) {
        return false;
    }
    port::CountDataFlush();
    return true;
}

// Writes the contents of `from` into the existing file `to` itself. Writers
// follow one another (a lock on the whole file); the room is made before a
// byte is changed (the file grown to its new length, never over its bytes),
// and console control events wait until the overwrite is done. A failure
// during the overwrite leaves the file empty, never half new.
bool WriteInPlace(LPCSTR from, LPCSTR to) {
    const Buffer buffer(static_cast<char*>(windows::Allocate(kBuffer)), &std::free);
    if (buffer == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    Handle in(windows::Create(from, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL));
    if (in.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Another run writing the same file may have it open too: the lock,
    // not the sharing mode, makes the second wait for the first.
    Handle out(windows::Create(to, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (out.get() == INVALID_HANDLE_VALUE || !windows::Lock(out.get())) {
        return false;
    }
    LARGE_INTEGER size{};
    LARGE_INTEGER old{};
    if (!::GetFileSizeEx(in.get(), &size) || !::GetFileSizeEx(out.get(), &old)) {
        return false;
    }
    if (size.QuadPart > old.QuadPart && !windows::SetEnd(out.get(), size.QuadPart)) {
        const ::DWORD reason = ::GetLastError();
        ::SetFilePointerEx(out.get(), old, nullptr, FILE_BEGIN);
        ::SetEndOfFile(out.get());
        ::SetLastError(reason);
        return false;
    }
    {
        const windows::HeldEvents held;
        if (!CopyContents(in.get(), out.get(), size.QuadPart, buffer)) {
            const ::DWORD reason = ::GetLastError();
            LARGE_INTEGER zero{};
            ::SetFilePointerEx(out.get(), zero, nullptr, FILE_BEGIN);
            ::SetEndOfFile(out.get());
            ::FlushFileBuffers(out.get());
            ::SetLastError(reason);
            return false;
        }
    }
    // The lock goes with the handle. Its close cannot undo what the flush
    // put on the disk: the output is what the overwrite left.
    (void)out.Release();
    return true;
}

// `path` made absolute: the platform's replace refuses relative names on some
// systems (ERROR_DIRECTORY under Wine). `path` itself where that fails.
std::string FullPath(LPCSTR path) {
    std::wstring wide;
    if (!windows::Wide(path, &wide)) {
        return path;
    }
    const ::DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const ::DWORD length =
        needed == 0 ? 0 : ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    const int bytes = length == 0 || length >= needed
                          ? 0
                          : ::WideCharToMultiByte(CP_ACP, 0, full.data(), static_cast<int>(length),
                                                  nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return path;
    }
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, full.data(), static_cast<int>(length), narrow.data(), bytes,
                          nullptr, nullptr);
    return narrow;
}

// Runs that put their outputs at the same path follow one another: the
// platform's replace takes the output's name away for a moment, and a second
// replace of the same output in that moment fails and leaves the platform's
// own temporary behind. The guard is a mutex named for the output's full
// path (letters of either case alike, as the system's names are); where it
// cannot be had, the replace runs unguarded.
class SamePathGuard {
  public:
    explicit SamePathGuard(LPCSTR path) {
        const windows::KeepLastError kept;
        try {
            std::uint64_t hash = 0xcbf29ce484222325u;
            for (const char c : FullPath(path)) {
                hash = (hash ^ static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c)) *
                       0x100000001b3u;
            }
            std::wstring name = L"Local\\veerpic-output-";
            for (int shift = 60; shift >= 0; shift -= 4) {
                name += L"0123456789abcdef"[(hash >> shift) & 15];
            }
            mutex_ = ::CreateMutexW(nullptr, FALSE, name.c_str());
        } catch (const std::bad_alloc&) {
        }
        if (mutex_ != nullptr) {
            const ::DWORD waited = ::WaitForSingleObject(mutex_, INFINITE);
            owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;  // abandoned: by a kill
        }
        kept.Restore();
    }
    ~SamePathGuard() {
        const windows::KeepLastError kept;
        if (owned_) {
            ::ReleaseMutex(mutex_);
        }
        if (mutex_ != nullptr) {
            ::CloseHandle(mutex_);
        }
        kept.Restore();
    }
    SamePathGuard(const SamePathGuard&) = delete;
    SamePathGuard& operator=(const SamePathGuard&) = delete;

  private:
    HANDLE mutex_ = nullptr;
    bool owned_ = false;
};

// Flushes the entries of the folder that holds `path`, where the system lets
// a folder be opened for that, so that a replace survives a crash.
void FlushFolderOf(LPCSTR path) {
    std::string folder = FullPath(path);
    windows::RemoveFileSpec(folder.data(), ::GetACP());
    Handle dir(windows::OpenForQuery(folder.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_FLAG_BACKUP_SEMANTICS));
    if (dir.get() != INVALID_HANDLE_VALUE && ::FlushFileBuffers(dir.get())) {
        port::CountFolderFlush();
    }
}

// Whether a refused replace is one that writing the output in place avoids:
// the folder takes no new entry, or the temporary lies on another volume.
bool RefusalWritingAvoids(::DWORD reason) {
    return reason == ERROR_ACCESS_DENIED || reason == ERROR_NOT_SAME_DEVICE ||
           reason == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
           reason == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 ||
           reason == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Moves the pending temporary `from` to `to` as a new file, with the
// platform's move `flags`. False with the code set.
bool PlaceAsNew(LPCSTR from, LPCSTR to, ::DWORD flags) {
    const windows::HeldEvents held;
    if (!windows::Move(from, to, flags)) {
        return false;
    }
    windows::ForgetPending(from);
    // A write-through move returns once the new entry is on the disk.
    if ((flags & MOVEFILE_WRITE_THROUGH) != 0) {
        port::CountFolderFlush();
    }
    return true;
}

// Puts `replacement` in the place of `replaced`, keeping the output's
// identity, for a caller that holds the output's SamePathGuard.
BOOL ReplaceKeepingIdentity(LPCSTR replaced, LPCSTR replacement, DWORD flags) {
    const windows::KeepLastError kept;
    // An output that is gone (or, where the platform's replace took its name
    // away for a moment, seems so) is put there as a new file.
    const auto placeAsNew = [&]() -> BOOL {
        const ::DWORD moveFlags =
            MOVEFILE_REPLACE_EXISTING |
            ((flags & REPLACEFILE_WRITE_THROUGH) != 0 ? MOVEFILE_WRITE_THROUGH : 0);
        if (!PlaceAsNew(replacement, replaced, moveFlags)) {
            return FALSE;
        }
        kept.Restore();
        return TRUE;
    };
    const ::DWORD attributes = windows::AttributesOf(replaced);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return ::GetLastError() == ERROR_FILE_NOT_FOUND ? placeAsNew() : FALSE;
    }
    // A file that may not be written may not be replaced either: the same
    // refusal that opening it for writing gets.
    if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return port::Guarded(FALSE, [&]() -> BOOL {
        bool inPlace = LinksOf(replaced) > 1;
        if (!inPlace) {
            ::DWORD reason = ERROR_SUCCESS;
            {
                const windows::HeldEvents held;
                if (windows::Replace(FullPath(replaced).c_str(), FullPath(replacement).c_str(),
                                     REPLACEFILE_IGNORE_MERGE_ERRORS)) {
                    windows::ForgetPending(replacement);
                    if ((flags & REPLACEFILE_WRITE_THROUGH) != 0) {
                        FlushFolderOf(replaced);
                    }
                    // The attributes stay, as the platform's replace promises.
                    if (windows::AttributesOf(replaced) != attributes) {
                        windows::SetAttributes(replaced, attributes);
                    }
                    kept.Restore();
                    return TRUE;
                }
                reason = ::GetLastError();
            }
            if (reason == ERROR_FILE_NOT_FOUND &&
                windows::AttributesOf(replacement) != INVALID_FILE_ATTRIBUTES) {
                return placeAsNew();
            }
            inPlace = RefusalWritingAvoids(reason);
            if (!inPlace) {
                ::SetLastError(reason);
                return FALSE;
            }
        }
        if (!WriteInPlace(replacement, replaced)) {
            return FALSE;
        }
        if (windows::Delete(replacement)) {
            windows::ForgetPending(replacement);
        }
        kept.Restore();
        return TRUE;
    });
}

}  // namespace

}  // namespace platform

platform::BOOL platform::ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup,
                                      DWORD flags, LPVOID exclude, LPVOID reserved) {
    (void)exclude;
    (void)reserved;
    if (replaced == nullptr || replacement == nullptr || backup != nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SamePathGuard guard(replaced);
    return ReplaceKeepingIdentity(replaced, replacement, flags);
}

platform::BOOL platform::MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (from == nullptr || to == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SamePathGuard guard(to);
    // A file that stands at `to` after all is replaced keeping its identity.
    if ((flags & MOVEFILE_REPLACE_EXISTING) != 0 &&
        windows::AttributesOf(to) != INVALID_FILE_ATTRIBUTES) {
        return ReplaceKeepingIdentity(
            to, from, (flags & MOVEFILE_WRITE_THROUGH) != 0 ? REPLACEFILE_WRITE_THROUGH : 0);
    }
    const windows::KeepLastError kept;
    if (!PlaceAsNew(from, to, static_cast<::DWORD>(flags))) {
        return FALSE;
    }
    kept.Restore();
    return TRUE;
}
