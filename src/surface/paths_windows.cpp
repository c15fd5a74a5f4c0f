// Paths on Windows: the folder part of a name (backslashes and slashes both
// end a folder's name, read with the code page's double-byte rule), and what
// stands at a path.
#include <cstring>

#include "surface/port_windows.h"

bool platform::windows::RemoveFileSpec(char* path, UINT codePage) {
    std::size_t last = std::strlen(path);  // no separator yet
    bool found = false;
    std::size_t colon = 0;
    bool drive = false;
    for (std::size_t i = 0; path[i] != '\0'; ++i) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (::IsDBCSLeadByteEx(codePage, byte) && path[i + 1] != '\0') {
            ++i;  // the trail byte goes with its lead byte
            continue;
        }
        if (byte == '\\' || byte == '/') {
            last = i;
            found = true;
        } else if (byte == ':' && !drive) {
            colon = i;
            drive = true;
        }
    }
    std::size_t cut = 0;
    if (!found) {
        cut = drive ? colon + 1 : 0;  // "C:name" keeps its drive
    } else if (last == 0 || (drive && colon + 1 == last)) {
        cut = last + 1;  // the root's separator stays: "\", "C:\"
    } else {
        cut = last;
    }
    const bool removed = path[cut] != '\0';
    path[cut] = '\0';
    return removed;
}

platform::BOOL platform::PathRemoveFileSpecA(LPSTR path) {
    if (path == nullptr) {
        return FALSE;
    }
    return windows::RemoveFileSpec(path, ::GetACP()) ? TRUE : FALSE;
}

// What stands at a path, as the writer asks it: a folder, a file it may or
// may not write, or a device (written in place, never replaced).
platform::DWORD platform::GetFileAttributesA(LPCSTR path) {
    if (path == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<DWORD>(INVALID_FILE_ATTRIBUTES);
    }
    const windows::KeepLastError kept;
    const ::DWORD attributes = windows::AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return static_cast<DWORD>(INVALID_FILE_ATTRIBUTES);
    }
    DWORD result = static_cast<DWORD>(attributes);
    // A device name (NUL, CON, COM1, ...) is written in place, never replaced.
    if ((result & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        HANDLE probe = windows::OpenForQuery(path, 0, 0);
        if (probe != INVALID_HANDLE_VALUE) {
            if (::GetFileType(probe) != FILE_TYPE_DISK) {
                result |= FILE_ATTRIBUTE_DEVICE;
            }
            ::CloseHandle(probe);
        }
    }
    kept.Restore();
    return result;
}
