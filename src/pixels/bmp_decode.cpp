#include "pixels/bmp_decode.h"

#include <algorithm>
#include <cstring>

#include "pixels/bmp_constants.h"
#include "pixels/byte_order.h"
#include "pixels/row_codec.h"

namespace veerpic::pixels {
namespace {

// BMP sizes are 32-bit: no pixel data can be longer.
constexpr std::uint64_t kMaxPixelBytes = 0xFFFFFFFFu;

// The info block (the bytes between the file header and bfOffBits, of which
// `head` holds the first part, `available` being the whole block's length)
// made into a description that is judged as it stands: an OS/2 table cut
// short is padded with black entries, an overlong table is cut to 2^depth
// entries. `out` has room for kBmpHeadBytes; its used length is returned.
Status PrepareDescription(std::span<const std::uint8_t> block, std::uint64_t available,
                          std::uint8_t* out, std::size_t* length) {
    std::memcpy(out, block.data(), block.size());
    *length = block.size();
    if (block.size() < 4) {
        return Status::kOk;  // judged (and refused) as it stands
    }
    const std::uint32_t headerSize = LoadU32(out);
    if ((headerSize == kCoreHeaderSize || headerSize == kOs2ShortHeaderSize) &&
        block.size() >= headerSize) {
        // No colour count in the header: the table is whatever lies before
        // the pixels, up to 2^depth entries.
        const unsigned bitCount = LoadU16(out + (headerSize == kCoreHeaderSize ? 10 : 14));
        if (bitCount == 1 || bitCount == 4 || bitCount == 8) {
            const std::size_t entry = headerSize == kCoreHeaderSize ? 3 : 4;
            const std::size_t full = headerSize + (std::size_t{1} << bitCount) * entry;
            if (*length < full) {
                std::memset(out + *length, 0, full - *length);
                *length = full;
            }
        }
        return Status::kOk;
    }
    if (headerSize < kInfoHeaderSize || block.size() < kInfoHeaderSize) {
        return Status::kOk;  // judged (and refused) as it stands
    }
    const unsigned bitCount = LoadU16(out + 14);
    const std::uint32_t clrUsed = LoadU32(out + 32);
    if (bitCount <= 8 && bitCount > 0 && clrUsed > (std::uint32_t{1} << bitCount)) {
        if (headerSize + std::uint64_t{clrUsed} * 4 > available) {
            return Status::kInvalidData;  // the file does not hold the table it declares
        }
        std::memset(out + 32, 0, 4);  // 0 entries declared means the full 2^depth
    }
    return Status::kOk;
}

bool IsRle(std::uint32_t compression) {
    return compression == BI_RLE8 || compression == BI_RLE4;
}

// The pixels of the picture `f` describes.
}  // namespace

Status InspectBmp(std::span<const std::uint8_t> head, std::optional<std::uint64_t> fileSize,
                  BmpLayout* layout) {
    if (head.size() < kFileHeaderSize || LoadU16(head.data()) != BMP_SIGNATURE) {
        return Status::kInvalidData;
    }
    const std::uint64_t offBits = LoadU32(head.data() + 10);
    if (offBits < kFileHeaderSize + 4 || (fileSize && offBits >= *fileSize)) {
        return Status::kInvalidData;
    }
    const std::uint64_t available = offBits - kFileHeaderSize;
    const std::size_t blockBytes = static_cast<std::size_t>(std::min<std::uint64_t>(
        {available, kBmpHeadBytes - kFileHeaderSize, head.size() - kFileHeaderSize}));
    if (blockBytes < std::min<std::uint64_t>(available, kBmpHeadBytes - kFileHeaderSize)) {
        return Status::kInvalidData;  // the file ends inside its description
    }
    std::uint8_t description[kBmpHeadBytes];
    std::size_t length = 0;
    Status status = PrepareDescription(head.subspan(kFileHeaderSize, blockBytes), available,
                                       description, &length);
    if (status != Status::kOk) {
        return status;
    }
    status = DescribeDib(std::span<const std::uint8_t>(description, length), &layout->format,
                         &layout->compression);
    if (status != Status::kOk) {
        return status;
    }
    layout->pixelOffset = offBits;
    const std::uint64_t pictureBytes =
        std::uint64_t{layout->format.stride} * static_cast<std::uint64_t>(layout->format.height);
    if (!IsRle(layout->compression)) {
        if (fileSize && *fileSize - offBits < pictureBytes) {
            return Status::kInvalidData;  // rows missing at the end of the file
        }
        layout->pixelBytes = pictureBytes;
        return Status::kOk;
    }
    layout->pixelBytes = std::min(fileSize ? *fileSize - offBits : kMaxPixelBytes, kMaxPixelBytes);
    if (fileSize && !SuppliesEnough(static_cast<std::uint64_t>(layout->format.width),
                                    static_cast<std::uint64_t>(layout->format.height),
                                    kRlePixelsPerByte * layout->pixelBytes)) {
        return Status::kInvalidData;  // a stream far too short for its picture
    }
    return Status::kOk;
}

Status DecodeBmpPixels(const BmpLayout& layout, std::span<const std::uint8_t> pixels,
                       const Plane& target) {
    const std::uint64_t pictureBytes =
        std::uint64_t{layout.format.stride} * static_cast<std::uint64_t>(layout.format.height);
    const auto width = static_cast<std::uint64_t>(layout.format.width);
    const auto height = static_cast<std::uint32_t>(layout.format.height);
    if (IsRle(layout.compression)) {
        if (!SuppliesEnough(width, height, kRlePixelsPerByte * pixels.size())) {
            return Status::kInvalidData;
        }
    } else if (pixels.size() < pictureBytes) {
        return Status::kInvalidData;
    }
    std::uint64_t supplied = 0;
    const int rows =
        ConvertRows(target, layout.format, layout.compression, 0, height, pixels, &supplied);
    if (rows < 0) {
        return Status::kOutOfMemory;
    }
    // A compressed stream that ends before its picture does, or skips most of it.
    return static_cast<std::uint32_t>(rows) == height && SuppliesEnough(width, height, supplied)
               ? Status::kOk
               : Status::kInvalidData;
}

}  // namespace veerpic::pixels
