#include "surface/stream_replay.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "surface/port.h"

namespace platform::replay {

namespace {

struct Stream {
    std::string path;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;  // bytes of `bytes` read back
    bool ended = false;
    bool opened = false;
};

// One stream at a time: a run reads one input.
std::mutex lock;
Stream* kept = nullptr;

void Release(Stream* stream) {
    if (stream == nullptr) {
        return;
    }
    if (stream->file != INVALID_HANDLE_VALUE) {
        CloseHandle(stream->file);
    }
    std::free(stream->bytes);
    delete stream;
}

Stream* AsStream(HANDLE handle) {
    std::lock_guard<std::mutex> hold(lock);
    return handle != nullptr && handle == kept && kept->opened ? kept : nullptr;
}

}  // namespace

void Keep(LPCSTR path, HANDLE file, std::uint8_t* bytes, std::size_t size, bool ended) {
    auto* stream =
        port::InjectedFault(port::SystemCall::kAllocate) != 0 ? nullptr : new (std::nothrow) Stream;
    bool named = false;
    if (stream != nullptr) {
        try {
            stream->path = path;
            named = true;
        } catch (const std::bad_alloc&) {
        }
    }
    if (!named) {
        // Nothing kept: the reader then reads the stream as it stands.
        delete stream;
        CloseHandle(file);
        std::free(bytes);
        return;
    }
    stream->file = file;
    stream->bytes = bytes;
    stream->size = size;
    stream->ended = ended;
    Stream* previous = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        previous = kept;
        kept = stream;
    }
    Release(previous);
}

HANDLE Open(LPCSTR path) {
    std::lock_guard<std::mutex> hold(lock);
    if (kept == nullptr || kept->opened || path == nullptr || kept->path != path) {
        return nullptr;
    }
    kept->opened = true;
    return kept;
}

bool Owns(HANDLE handle) {
    return AsStream(handle) != nullptr;
}

BOOL Read(HANDLE handle, LPVOID buffer, DWORD toRead, DWORD* read) {
    Stream* stream = AsStream(handle);
    if (read != nullptr) {
        *read = 0;
    }
    if (stream == nullptr || (buffer == nullptr && toRead != 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::size_t held = std::min<std::size_t>(stream->size - stream->at, toRead);
    std::memcpy(out, stream->bytes + stream->at, held);
    stream->at += held;
    DWORD done = static_cast<DWORD>(held);
    if (done < toRead && !stream->ended) {
        DWORD more = 0;
        if (!ReadFile(stream->file, out + done, toRead - done, &more, nullptr)) {
            return FALSE;
        }
        done += more;
    }
    if (read != nullptr) {
        *read = done;
    }
    return TRUE;
}

BOOL Size(HANDLE handle, std::int64_t* size) {
    Stream* stream = AsStream(handle);
    if (stream == nullptr || size == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *size = stream->ended ? static_cast<std::int64_t>(stream->size) : 0;
    return TRUE;
}

BOOL Close(HANDLE handle) {
    Stream* stream = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (handle == nullptr || handle != kept || !kept->opened) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        stream = kept;
        kept = nullptr;
    }
    Release(stream);
    return TRUE;
}

}  // namespace platform::replay
