// Reading a BMP picture from a file or a stream: what to read and where it
// goes. The caller supplies the reads, the memory they first arrive in and
// the picture's own (a section); nothing here touches a system. A file of
// known length whose rows lie as the picture's do is read straight into the
// picture; anything else through the bytes read, which for a stream grow
// only with what actually arrives, within what its headers make worth it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "pixels/bmp_decode.h"

namespace veerpic::pixels {

// What the loader asks of its caller. Where one of them fails, the caller
// keeps the reason, and the loader answers Status::kCallerFailed.
struct BmpReads {
    void* context;
    // Reads up to `count` bytes into `to`: how many arrived (0 at the end),
    // or -1 when the read failed.
    std::int64_t (*read)(void* context, std::uint8_t* to, std::uint32_t count);
    // `block` grown to `bytes` as std::realloc grows it, or null.
    void* (*grow)(void* context, void* block, std::size_t bytes);
    // A cleared picture of `format`; its plane, or one without bits.
    Plane (*picture)(void* context, const DibFormat& format);
};

class BmpLoader {
  public:
    BmpLoader() = default;
    ~BmpLoader();
    BmpLoader(const BmpLoader&) = delete;
    BmpLoader& operator=(const BmpLoader&) = delete;

    // Loads the picture of a file of `length` bytes, or of a stream (no
    // length) into `*plane`, which the caller's `picture` made.
    Status Load(const BmpReads& reads, std::optional<std::uint64_t> length, Plane* plane);

    // The bytes read so far (from `grow`) and whether the source ended
    // within them, handed over: a stream cannot give them again.
    std::uint8_t* Release(std::size_t* size, bool* ended);

  private:
    bool ReadUpTo(const BmpReads& reads, std::uint64_t want, bool knownLength);
    Status ReadInto(const BmpReads& reads, std::uint64_t offset, std::uint8_t* to,
                    std::uint64_t count);

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool ended_ = false;
};

}  // namespace veerpic::pixels
