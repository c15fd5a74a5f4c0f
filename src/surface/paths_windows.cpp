// The folder part of a name on Windows: backslashes and slashes both end a
// folder's name, read with the code page's double-byte rule.
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
