// The Windows port's files and names: the platform's own calls under the
// one convention of system_calls_windows.h.
#include <cstring>
#include <string>

#include "surface/system_calls_windows.h"

namespace platform {

namespace {

using port::Code;
using windows::AsHandle;
using windows::kShareAll;
using windows::Run;

// A read at the end of a file or of a pipe whose writer has gone moves nothing.
Code EndIsNoFailure(Code code) {
    return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF ? ERROR_SUCCESS : code;
}

Code Transfer(port::File file, void* buffer, DWORD count, const std::uint64_t* at, DWORD* done,
              bool write) {
    ::OVERLAPPED place{};
    if (at != nullptr) {
        place.Offset = static_cast<::DWORD>(*at);
        place.OffsetHigh = static_cast<::DWORD>(*at >> 32);
    }
    ::DWORD moved = 0;
    const SystemCall seam = write ? (at != nullptr ? SystemCall::kWriteAt : SystemCall::kWrite)
                                  : (at != nullptr ? SystemCall::kReadAt : SystemCall::kRead);
    const Code code = Run(seam, [&] {
        return write ? ::WriteFile(AsHandle(file), buffer, count, &moved,
                                   at != nullptr ? &place : nullptr) != 0
                     : ::ReadFile(AsHandle(file), buffer, count, &moved,
                                  at != nullptr ? &place : nullptr) != 0;
    });
    *done = static_cast<DWORD>(moved);
    return write ? code : EndIsNoFailure(code);
}

// What the open `handle` is.
Code Describe(HANDLE handle, port::Identity* identity) {
    using Kind = port::Identity::Kind;
    *identity = port::Identity{};
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        identity->kind = Kind::kDevice;  // a console, a pipe, NUL
        identity->writable = true;
        return ERROR_SUCCESS;
    }
    ::BY_HANDLE_FILE_INFORMATION info{};
    const Code code = Run([&] { return ::GetFileInformationByHandle(handle, &info) != 0; });
    if (code != ERROR_SUCCESS) {
        return code;
    }
    const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    identity->kind = folder ? Kind::kFolder : Kind::kRegular;
    identity->volume = info.dwVolumeSerialNumber;
    identity->number = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    identity->size = folder ? 0 : (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    identity->links = info.nNumberOfLinks;
    identity->attributes = info.dwFileAttributes;
    identity->writable = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
    return ERROR_SUCCESS;
}

// Opens `path` only to ask about it, following its links.
Code OpenForQuery(const char* path, ::DWORD access, HANDLE* handle) {
    return Run([&] {
        *handle =
            windows::OpenWide(path, access, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        return *handle != INVALID_HANDLE_VALUE;
    });
}

// Sets a length of the file's: its end, or the room it has.
Code SetSize(port::File file, ::FILE_INFO_BY_HANDLE_CLASS what, std::uint64_t length) {
    LARGE_INTEGER size{};
    size.QuadPart = static_cast<LONGLONG>(length);
    return Run(SystemCall::kReserve, [&] {
        return ::SetFileInformationByHandle(AsHandle(file), what, &size, sizeof size) != 0;
    });
}

}  // namespace

DWORD GetLastError() {
    return static_cast<DWORD>(::GetLastError());
}

void SetLastError(DWORD code) {
    ::SetLastError(static_cast<::DWORD>(code));
}

namespace port {

Code Open(const char* path, DWORD access, DWORD share, DWORD creation, File* file) {
    // A folder fails to open here (ERROR_ACCESS_DENIED), without
    // FILE_FLAG_BACKUP_SEMANTICS. Handles are always binary.
    return Run(SystemCall::kOpen, [&] {
        const HANDLE handle =
            windows::OpenWide(path, access, share, creation, FILE_ATTRIBUTE_NORMAL);
        *file = reinterpret_cast<File>(handle);
        return handle != INVALID_HANDLE_VALUE;
    });
}

Code Duplicate(File file, File* copy) {
    return Run(SystemCall::kOpen, [&] {
        HANDLE handle = nullptr;
        const HANDLE self = ::GetCurrentProcess();
        const bool done = ::DuplicateHandle(self, AsHandle(file), self, &handle, 0, FALSE,
                                            DUPLICATE_SAME_ACCESS) != 0;
        *copy = done ? reinterpret_cast<File>(handle) : kNoFile;
        return done;
    });
}

Code Close(File file) {
    // A failed close still closes, so that nothing leaks.
    const int injected = InjectedFault(SystemCall::kClose);
    const Code code = Run([&] { return ::CloseHandle(AsHandle(file)) != 0; });
    return injected != 0 ? static_cast<Code>(injected) : code;
}

Code Read(File file, void* buffer, DWORD count, DWORD* done) {
    return Transfer(file, buffer, count, nullptr, done, false);
}

Code ReadAt(File file, void* buffer, DWORD count, std::uint64_t at, DWORD* done) {
    return Transfer(file, buffer, count, &at, done, false);
}

Code Write(File file, const void* buffer, DWORD count, DWORD* done) {
    return Transfer(file, const_cast<void*>(buffer), count, nullptr, done, true);
}

Code WriteAt(File file, const void* buffer, DWORD count, std::uint64_t at, DWORD* done) {
    return Transfer(file, const_cast<void*>(buffer), count, &at, done, true);
}

// Windows cannot tell cheaply which pages of a view are its own: a view is
// written from memory.
Code WriteFromView(File, File, std::uint64_t, const void*, DWORD, std::uint64_t, DWORD* done) {
    *done = 0;
    return ERROR_NOT_SUPPORTED;
}

Code Flush(File file) {
    return Run(SystemCall::kFlush, [&] { return ::FlushFileBuffers(AsHandle(file)) != 0; });
}

Code SetLength(File file, std::uint64_t length) {
    return SetSize(file, FileEndOfFileInfo, length);
}

Code Reserve(File file, std::uint64_t length) {
    const Code code = SetSize(file, FileAllocationInfo, length);
    return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_FUNCTION ||
                   code == ERROR_CALL_NOT_IMPLEMENTED
               ? ERROR_NOT_SUPPORTED
               : code;
}

Code Lock(File file) {
    ::OVERLAPPED whole{};
    const Code code = Run(SystemCall::kLock, [&] {
        return ::LockFileEx(AsHandle(file), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD,
                            &whole) != 0;
    });
    return code == ERROR_INVALID_FUNCTION ? ERROR_NOT_SUPPORTED : code;
}

Code Query(File file, Identity* identity) {
    return Describe(AsHandle(file), identity);
}

Code QueryPath(const char* path, Identity* identity) {
    *identity = Identity{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const Code code = OpenForQuery(path, 0, &handle);
    if (code != ERROR_SUCCESS) {
        return code == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : code;  // nothing stands there
    }
    const Code described = Describe(handle, identity);
    ::CloseHandle(handle);
    return described;
}

Code TakeIdentity(File file, const Identity* old) {
    if (old == nullptr) {
        return ERROR_SUCCESS;  // a new file's attributes are its own already
    }
    constexpr ::DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    ::FILE_BASIC_INFO basic{};
    basic.FileAttributes = old->attributes & kKept;
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    const Code code = Run(SystemCall::kMode, [&] {
        return ::SetFileInformationByHandle(AsHandle(file), FileBasicInfo, &basic, sizeof basic) !=
               0;
    });
    return code == ERROR_SUCCESS ? code : ERROR_ACCESS_DENIED;
}

Code Unlink(const char* path) {
    std::wstring wide;
    return Run(SystemCall::kUnlink,
               [&] { return windows::Wide(path, &wide) && ::DeleteFileW(wide.c_str()) != 0; });
}

Code RenameOver(const char* from, const char* to) {
    std::wstring wideFrom;
    std::wstring wideTo;
    return Run(SystemCall::kRename, [&] {
        return windows::Wide(from, &wideFrom) && windows::Wide(to, &wideTo) &&
               ::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    });
}

Code FlushFolder(const char* folder) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Code code = OpenForQuery(folder, GENERIC_READ | GENERIC_WRITE, &handle);
    if (code == ERROR_SUCCESS) {
        code = Run(SystemCall::kFlush, [&] { return ::FlushFileBuffers(handle) != 0; });
        ::CloseHandle(handle);
    }
    return code;
}

// The system follows the links as it opens the path, under its own rules,
// and names the file it reached. A path that names nothing yet, a device,
// or a final name with no spelling in the code page stays as it is.
Code FinalPath(const char* path, std::string* target, bool* held) {
    *target = path;
    *held = false;
    HANDLE handle = INVALID_HANDLE_VALUE;
    const Code code = OpenForQuery(path, 0, &handle);
    if (code != ERROR_SUCCESS) {
        return code == ERROR_ACCESS_DENIED ? code : ERROR_SUCCESS;
    }
    std::wstring final(MAX_PATH, L'\0');
    ::DWORD length = 0;
    if (::GetFileType(handle) == FILE_TYPE_DISK) {
        length = ::GetFinalPathNameByHandleW(handle, final.data(),
                                             static_cast<::DWORD>(final.size()), VOLUME_NAME_DOS);
        if (length >= final.size()) {
            final.resize(length + 1);
            length = ::GetFinalPathNameByHandleW(
                handle, final.data(), static_cast<::DWORD>(final.size()), VOLUME_NAME_DOS);
        }
    }
    ::CloseHandle(handle);
    std::string narrow;
    if (length > 0 && length < final.size() &&
        windows::Narrow(final.data(), static_cast<int>(length), &narrow)) {
        *target = narrow;
    }
    return ERROR_SUCCESS;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsLeadByte(char c) {
    return ::IsDBCSLeadByteEx(::GetACP(), static_cast<BYTE>(c)) != 0;
}

std::string TemporaryFolder() {
    wchar_t folder[MAX_PATH + 1];
    const ::DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    std::string narrow;
    return length > 0 && length <= MAX_PATH &&
                   windows::Narrow(folder, static_cast<int>(length), &narrow)
               ? narrow
               : std::string(".");
}

std::uint64_t FileSizeLimit() {
    return UINT64_MAX;
}

std::uint64_t UniqueSeed() {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^
           static_cast<std::uint64_t>(now.QuadPart);
}

}  // namespace port

}  // namespace platform
