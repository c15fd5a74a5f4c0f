#include "pixels/bmp_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

#include "pixels/row_codec.h"

namespace veerpic::pixels {

BmpLoader::~BmpLoader() {
    std::free(data_);
}

std::uint8_t* BmpLoader::Release(std::size_t* size, bool* ended) {
    *size = size_;
    *ended = ended_;
    size_ = capacity_ = 0;
    return std::exchange(data_, nullptr);
}

// Reads until the bytes read hold `want` or the source ends. A file of known
// length is read in as few reads as may be; a stream's bytes grow with what
// actually arrives, so that a pipe whose headers promise much and deliver
// little costs little. False when a read or the growth fails.
bool BmpLoader::ReadUpTo(const BmpReads& reads, std::uint64_t want, bool knownLength) {
    while (size_ < want && !ended_) {
        const std::uint64_t step =
            knownLength ? std::uint64_t{1} << 30 : std::max<std::uint64_t>(size_, 1 << 16);
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(want - size_, step));
        if (size_ + chunk > capacity_) {
            auto* more =
                static_cast<std::uint8_t*>(reads.grow(reads.context, data_, size_ + chunk));
            if (more == nullptr) {
                return false;
            }
            data_ = more;
            capacity_ = size_ + chunk;
        }
        const std::int64_t got = reads.read(reads.context, data_ + size_, chunk);
        if (got < 0) {
            return false;
        }
        size_ += static_cast<std::size_t>(got);
        ended_ = static_cast<std::uint64_t>(got) < chunk;
    }
    return true;
}

// Moves the bytes read from `offset` on into `to`, and reads the rest of
// `count` bytes straight after them.
Status BmpLoader::ReadInto(const BmpReads& reads, std::uint64_t offset, std::uint8_t* to,
                           std::uint64_t count) {
    const std::uint64_t held = std::min<std::uint64_t>(size_ - offset, count);
    std::memcpy(to, data_ + offset, static_cast<std::size_t>(held));
    for (std::uint64_t done = held; done < count;) {
        const auto chunk = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(count - done, std::uint64_t{1} << 30));
        const std::int64_t got = reads.read(reads.context, to + done, chunk);
        if (got <= 0) {
            // The file ended before its picture (it shrank while it was read).
            return got < 0 ? Status::kCallerFailed : Status::kInvalidData;
        }
        done += static_cast<std::uint64_t>(got);
    }
    return Status::kOk;
}

Status BmpLoader::Load(const BmpReads& reads, std::optional<std::uint64_t> length, Plane* plane) {
    const bool known = length.has_value();
    if (!ReadUpTo(reads, kBmpHeadBytes, known)) {
        return Status::kCallerFailed;
    }
    BmpLayout layout;
    Status status = InspectBmp(std::span<const std::uint8_t>(data_, size_), length, &layout);
    // Uncompressed rows in a file of known length lie as the picture holds
    // them: they go there without a copy in between.
    const bool straight = known && layout.compression != BI_RLE8 && layout.compression != BI_RLE4;
    const std::uint64_t wanted = layout.pixelOffset + (straight ? 0 : layout.pixelBytes);
    if (status == Status::kOk && !ReadUpTo(reads, wanted, known)) {
        return Status::kCallerFailed;
    }
    if (status == Status::kOk && size_ < layout.pixelOffset) {
        status = Status::kInvalidData;  // the source ends before its pixels
    }
    if (status != Status::kOk) {
        return status;
    }
    *plane = reads.picture(reads.context, layout.format);
    if (plane->bits == nullptr) {
        return Status::kCallerFailed;
    }
    if (straight) {
        const std::uint64_t bytes = std::uint64_t{plane->format->stride} *
                                    static_cast<std::uint64_t>(plane->format->height);
        status = ReadInto(reads, layout.pixelOffset, plane->bits, bytes);
        ClearRowEnds(*plane);
        return status;
    }
    const auto offset = static_cast<std::size_t>(layout.pixelOffset);
    return DecodeBmpPixels(layout, std::span<const std::uint8_t>(data_ + offset, size_ - offset),
                           *plane);
}

}  // namespace veerpic::pixels
