// A stream read once, read again: when the image loader cannot use what it
// read from a pipe, a FIFO or a device, those bytes are kept with the open
// stream, and the next open of the same path for reading gets a handle that
// reads them first and then the rest of the stream. So the reader's own
// reading sees what it would see in a file of the same bytes. Common to every
// system's port: the ports' CreateFileA, ReadFile, GetFileSizeEx and
// CloseHandle ask here first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "surface/platform.h"

namespace platform::replay {

// Keeps `bytes` (from std::malloc or std::realloc; taken in every case) read
// from `file`, an open handle of `path`, which this takes over too. `ended`
// tells whether the stream ended within those bytes. A stream kept before is
// released.
void Keep(LPCSTR path, HANDLE file, std::uint8_t* bytes, std::size_t size, bool ended);

// A handle that reads the kept stream of `path`, or null when none is kept.
HANDLE Open(LPCSTR path);

// Whether `handle` is one that Open made.
bool Owns(HANDLE handle);

BOOL Read(HANDLE handle, LPVOID buffer, DWORD toRead, DWORD* read);
// The stream's length when it ended within the kept bytes, else 0 (unknown).
BOOL Size(HANDLE handle, std::int64_t* size);
BOOL Close(HANDLE handle);

}  // namespace platform::replay
