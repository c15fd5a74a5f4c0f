// Pixel formats of bitmap sections: judging a BITMAPINFO-style description as
// a strict platform does, and converting pixel rows of any described format
// (palette indices, 16/24/32-bit colour with bit masks, RLE8 and RLE4) into a
// section's own format.
#include <algorithm>
#include <cstring>

#include "surface/byte_order.h"
#include "surface/dib.h"
#include "surface/pixel_masks.h"

namespace platform::detail {
namespace {

// Header sizes a description may have.
constexpr DWORD kCoreHeaderSize = 12;      // BITMAPCOREHEADER: 16-bit sizes, 3-byte entries
constexpr DWORD kOs2ShortHeaderSize = 16;  // OS/2 2.x header cut after the bit count
constexpr DWORD kInfoHeaderSize = 40;      // BITMAPINFOHEADER
constexpr DWORD kV2HeaderSize = 52;        // red, green and blue masks inside the header
constexpr DWORD kV3HeaderSize = 56;        // the alpha mask too
constexpr DWORD kOs2HeaderSize = 64;       // OS/2 2.x full header
constexpr DWORD kV4HeaderSize = 108;
constexpr DWORD kV5HeaderSize = 124;

// Offsets inside the larger headers.
constexpr std::size_t kMasksOffset = 40;  // red, green, blue, then alpha at 52

bool Refuse(DWORD* error, DWORD code) {
    if (error != nullptr) {
        *error = code;
    }
    return false;
}

bool IsOs2HeaderSize(DWORD size) {
    return size == kCoreHeaderSize || size == kOs2ShortHeaderSize || size == kOs2HeaderSize;
}

bool IsKnownHeaderSize(DWORD size) {
    switch (size) {
        case kCoreHeaderSize:
        case kOs2ShortHeaderSize:
        case kInfoHeaderSize:
        case kV2HeaderSize:
        case kV3HeaderSize:
        case kOs2HeaderSize:
        case kV4HeaderSize:
        case kV5HeaderSize:
            return true;
        default:
            return false;
    }
}

bool IsUncompressedDepth(unsigned bitCount, bool os2) {
    switch (bitCount) {
        case 1:
        case 4:
        case 8:
        case 24:
            return true;
        case 16:
        case 32:
            return !os2;  // OS/2 bitmaps have no 16- or 32-bit pixels
        default:
            return false;
    }
}

// Colour masks of a 16- or 32-bit description: each of red, green and blue a
// non-empty unbroken run of bits inside the pixel, alpha empty or the same,
// no two overlapping.
bool MasksAreValid(DWORD red, DWORD green, DWORD blue, DWORD alpha, unsigned bitCount) {
    const DWORD inside = bitCount >= 32 ? 0xFFFFFFFFu : (DWORD{1} << bitCount) - 1;
    const DWORD all[4] = {red, green, blue, alpha};
    DWORD seen = 0;
    for (int i = 0; i < 4; ++i) {
        const DWORD m = all[i];
        if (m == 0 && i == 3) {
            continue;
        }
        if (!IsContiguousMask(m) || (m & ~inside) != 0 || (m & seen) != 0) {
            return false;
        }
        seen |= m;
    }
    return true;
}

}  // namespace

// What a description may hold, and how it is judged:
// - header sizes 12 (OS/2 1.x core header), 16 and 64 (OS/2 2.x), 40, 52, 56,
//   108 and 124; planes 1; width above 0; height neither 0 nor INT32_MIN,
//   negative meaning rows stored top row first (never for RLE);
// - BI_RGB at 1, 4, 8, 16, 24 and 32 bits (OS/2 headers: 1, 4, 8, 24);
//   BI_RLE8 at 8 and BI_RLE4 at 4 bits; BI_BITFIELDS and BI_ALPHABITFIELDS at
//   16 and 32 bits with 40-byte or larger Windows headers, the masks following
//   a 40-byte header (three, or four with alpha) or inside a larger one. In
//   OS/2 headers the codes 3 and 4 mean Huffman 1D and RLE24, both refused, as
//   are BI_JPEG, BI_PNG and unknown codes;
// - up to 8 bits a colour table of biClrUsed entries (0 meaning 2^depth), at
//   most 2^depth; OS/2 headers without that field always have 2^depth. At 16,
//   24 and 32 bits biClrUsed only announces an optional palette for palette
//   devices, which a section never uses, so it is neither read nor checked;
// - a picture whose padded rows fit the BMP format's 32-bit size fields.
bool DescribeDib(const BITMAPINFO* info, DWORD infoSize, DibFormat* format, DWORD* compression,
                 DWORD* error) {
    if (info == nullptr || format == nullptr) {
        return Refuse(error, ERROR_INVALID_PARAMETER);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(info);
    if (infoSize < 4) {
        return Refuse(error, ERROR_INVALID_DATA);
    }
    const DWORD headerSize = LoadU32(bytes);
    if (!IsKnownHeaderSize(headerSize)) {
        return Refuse(error, ERROR_INVALID_PARAMETER);
    }
    if (headerSize > infoSize) {
        return Refuse(error, ERROR_INVALID_DATA);
    }
    const bool os2 = IsOs2HeaderSize(headerSize);

    std::int64_t width = 0;
    std::int64_t height = 0;
    WORD planes = 0;
    unsigned bitCount = 0;
    DWORD code = BI_RGB;
    DWORD clrUsed = 0;
    std::size_t entrySize = 4;
    if (headerSize == kCoreHeaderSize) {
        width = LoadU16(bytes + 4);
        height = LoadU16(bytes + 6);
        planes = LoadU16(bytes + 8);
        bitCount = LoadU16(bytes + 10);
        entrySize = 3;
    } else {
        width = LoadI32(bytes + 4);
        height = LoadI32(bytes + 8);
        planes = LoadU16(bytes + 12);
        bitCount = LoadU16(bytes + 14);
        if (headerSize >= kInfoHeaderSize) {
            code = LoadU32(bytes + 16);
            clrUsed = LoadU32(bytes + 32);
        }
    }

    if (planes != 1 || width <= 0 || height == 0 || height == INT32_MIN) {
        return Refuse(error, ERROR_INVALID_PARAMETER);
    }
    const bool topDown = height < 0;
    if (topDown) {
        height = -height;
    }

    bool masked = false;
    bool alphaFollows = false;
    switch (code) {
        case BI_RGB:
            if (!IsUncompressedDepth(bitCount, os2)) {
                return Refuse(error, ERROR_INVALID_PARAMETER);
            }
            break;
        case BI_RLE8:
        case BI_RLE4:
            if (bitCount != (code == BI_RLE8 ? 8u : 4u) || topDown) {
                return Refuse(error, ERROR_INVALID_PARAMETER);
            }
            break;
        case BI_BITFIELDS:
        case BI_ALPHABITFIELDS:
            if (os2 || (bitCount != 16 && bitCount != 32) ||
                (code == BI_ALPHABITFIELDS && headerSize == kV2HeaderSize)) {
                return Refuse(error, ERROR_INVALID_PARAMETER);
            }
            masked = true;
            alphaFollows = code == BI_ALPHABITFIELDS;
            break;
        default:
            return Refuse(error, ERROR_INVALID_PARAMETER);
    }

    DWORD red = 0, green = 0, blue = 0, alpha = 0;
    std::size_t tableOffset = headerSize;
    if (masked) {
        const std::size_t at = kMasksOffset;
        if (headerSize == kInfoHeaderSize) {
            const std::size_t maskBytes = alphaFollows ? 16 : 12;
            if (std::size_t{infoSize} < headerSize + maskBytes) {
                return Refuse(error, ERROR_INVALID_DATA);
            }
            tableOffset += maskBytes;
        } else {
            alphaFollows = headerSize >= kV3HeaderSize;
        }
        red = LoadU32(bytes + at);
        green = LoadU32(bytes + at + 4);
        blue = LoadU32(bytes + at + 8);
        alpha = alphaFollows ? LoadU32(bytes + at + 12) : 0;
        if (!MasksAreValid(red, green, blue, alpha, bitCount)) {
            return Refuse(error, ERROR_INVALID_PARAMETER);
        }
    } else if (bitCount == 16) {
        red = kRgb555Red, green = kRgb555Green, blue = kRgb555Blue;
    } else if (bitCount == 32) {
        red = kRgb888Red, green = kRgb888Green, blue = kRgb888Blue;
    }

    std::uint32_t colorCount = 0;
    if (bitCount <= 8) {
        const std::uint32_t full = std::uint32_t{1} << bitCount;
        colorCount = clrUsed == 0 ? full : clrUsed;
        if (colorCount > full) {
            return Refuse(error, ERROR_INVALID_PARAMETER);
        }
        if (tableOffset + std::size_t{colorCount} * entrySize > std::size_t{infoSize}) {
            return Refuse(error, ERROR_INVALID_DATA);
        }
    }

    std::uint32_t stride = 0;
    std::uint32_t imageSize = 0;
    if (!DibRowAndImageSize(width, height, bitCount, &stride, &imageSize)) {
        return Refuse(error, ERROR_INVALID_PARAMETER);
    }

    // Filled in place: every refusal has happened by now. (Building the record
    // in a local and copying it out is miscompiled by GCC 12.2 at -O2 and
    // above: its scalar replacement of aggregates drops bitCount and
    // colorCount; -fno-tree-sra, clang and valgrind all say the code is sound.
    // The suite-file tests fail in a release build if it comes back.)
    DibFormat& out = *format;
    out = DibFormat{};
    out.width = static_cast<std::int32_t>(width);
    out.height = static_cast<std::int32_t>(height);
    out.topDown = topDown;
    out.bitCount = static_cast<std::uint16_t>(bitCount);
    out.compression = masked ? BI_BITFIELDS : BI_RGB;
    out.redMask = red;
    out.greenMask = green;
    out.blueMask = blue;
    out.alphaMask = alpha;
    out.colorCount = colorCount;
    for (std::uint32_t i = 0; i < colorCount; ++i) {
        const std::uint8_t* entry = bytes + tableOffset + i * entrySize;
        out.colors[i].rgbBlue = entry[0];
        out.colors[i].rgbGreen = entry[1];
        out.colors[i].rgbRed = entry[2];
        out.colors[i].rgbReserved = 0;
    }
    out.stride = stride;
    if (compression != nullptr) {
        *compression = code;
    }
    return true;
}

namespace {

struct Bgr {
    std::uint8_t b = 0, g = 0, r = 0;
    bool operator==(const Bgr&) const = default;
};

// Reads and writes single pixels of one format: the masks analysed once.
class PixelCodec {
  public:
    explicit PixelCodec(const DibFormat& f)
        : format_(f),
          red_(AnalyseMask(f.redMask)),
          green_(AnalyseMask(f.greenMask)),
          blue_(AnalyseMask(f.blueMask)) {}

    bool Indexed() const { return format_.bitCount <= 8; }

    // Palette index at `x`, for 1, 4 and 8 bits; the leftmost pixel sits in
    // the highest bits of its byte.
    unsigned Index(const std::uint8_t* row, std::size_t x) const {
        switch (format_.bitCount) {
            case 1:
                return (row[x >> 3] >> (7 - (x & 7))) & 1u;
            case 4:
                return (x & 1) ? (row[x >> 1] & 0x0Fu) : (row[x >> 1] >> 4u);
            default:
                return row[x];
        }
    }

    void SetIndex(std::uint8_t* row, std::size_t x, unsigned index) const {
        switch (format_.bitCount) {
            case 1: {
                const unsigned shift = 7 - static_cast<unsigned>(x & 7);
                row[x >> 3] = static_cast<std::uint8_t>((row[x >> 3] & ~(1u << shift)) |
                                                        ((index & 1u) << shift));
                break;
            }
            case 4:
                if (x & 1) {
                    row[x >> 1] =
                        static_cast<std::uint8_t>((row[x >> 1] & 0xF0u) | (index & 0x0Fu));
                } else {
                    row[x >> 1] =
                        static_cast<std::uint8_t>((row[x >> 1] & 0x0Fu) | ((index & 0x0Fu) << 4));
                }
                break;
            default:
                row[x] = static_cast<std::uint8_t>(index);
                break;
        }
    }

    // The colour of a palette index: entries beyond the table are black.
    Bgr IndexColor(unsigned index) const {
        if (index >= format_.colorCount || index >= 256) {
            return {};
        }
        const RGBQUAD& q = format_.colors[index];
        return {q.rgbBlue, q.rgbGreen, q.rgbRed};
    }

    Bgr Color(const std::uint8_t* row, std::size_t x) const {
        switch (format_.bitCount) {
            case 16:
                return FromMasks(static_cast<std::uint32_t>(row[2 * x] | (row[2 * x + 1] << 8)));
            case 24:
                return {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
            case 32:
                return FromMasks(LoadU32(row + 4 * x));
            default:
                return IndexColor(Index(row, x));
        }
    }

    void SetColor(std::uint8_t* row, std::size_t x, Bgr c) {
        switch (format_.bitCount) {
            case 16: {
                const std::uint32_t p = ToMasks(c);
                row[2 * x] = static_cast<std::uint8_t>(p);
                row[2 * x + 1] = static_cast<std::uint8_t>(p >> 8);
                break;
            }
            case 24:
                row[3 * x] = c.b;
                row[3 * x + 1] = c.g;
                row[3 * x + 2] = c.r;
                break;
            case 32: {
                const std::uint32_t p = ToMasks(c);
                std::memcpy(row + 4 * x, &p, sizeof p);
                break;
            }
            default:
                SetIndex(row, x, NearestIndex(c));
                break;
        }
    }

  private:
    Bgr FromMasks(std::uint32_t p) const {
        return {WidenChannel(p, blue_), WidenChannel(p, green_), WidenChannel(p, red_)};
    }

    // Colour into the masks; a pixel made from colour alone is opaque.
    std::uint32_t ToMasks(Bgr c) const {
        std::uint32_t p = (NarrowValue(c.r, red_.bits) << red_.shift) |
                          (NarrowValue(c.g, green_.bits) << green_.shift) |
                          (NarrowValue(c.b, blue_.bits) << blue_.shift);
        return p | format_.alphaMask;
    }

    // The table entry closest to `c` (squared distance, lowest index on a tie).
    unsigned NearestIndex(Bgr c) {
        if (haveLast_ && c == lastColor_) {
            return lastIndex_;
        }
        unsigned best = 0;
        long bestDistance = -1;
        const unsigned count = std::min<std::uint32_t>(format_.colorCount, 256);
        for (unsigned i = 0; i < count; ++i) {
            const RGBQUAD& q = format_.colors[i];
            const long db = long{q.rgbBlue} - c.b;
            const long dg = long{q.rgbGreen} - c.g;
            const long dr = long{q.rgbRed} - c.r;
            const long d = db * db + dg * dg + dr * dr;
            if (bestDistance < 0 || d < bestDistance) {
                best = i;
                bestDistance = d;
            }
        }
        haveLast_ = true;
        lastColor_ = c;
        lastIndex_ = best;
        return best;
    }

    const DibFormat& format_;
    MaskChannel red_, green_, blue_;
    bool haveLast_ = false;
    Bgr lastColor_;
    unsigned lastIndex_ = 0;
};

// Same bit layout: the bits can be copied as they are. Same-depth palettes
// count as the same layout, so indices are kept.
bool SameLayout(const DibFormat& a, const DibFormat& b) {
    if (a.bitCount != b.bitCount) {
        return false;
    }
    if (a.bitCount == 16 || a.bitCount == 32) {
        return a.redMask == b.redMask && a.greenMask == b.greenMask && a.blueMask == b.blueMask &&
               a.alphaMask == b.alphaMask;
    }
    return true;
}

// Copies the first `width` pixels of a row of `bitCount` bits, leaving the
// bits after them (padding, or pixels outside a narrower source) as they were.
void CopyPixelBits(std::uint8_t* dst, const std::uint8_t* src, std::size_t width,
                   unsigned bitCount) {
    const std::size_t bits = width * bitCount;
    const std::size_t whole = bits / 8;
    std::memcpy(dst, src, whole);
    const unsigned rest = static_cast<unsigned>(bits % 8);
    if (rest != 0) {
        const auto keep = static_cast<std::uint8_t>(0xFFu >> rest);
        dst[whole] = static_cast<std::uint8_t>((dst[whole] & keep) | (src[whole] & ~keep));
    }
}

// Writes into the target's rows counted from the top, for the sources below.
class RowWriter {
  public:
    RowWriter(GdiBitmap& target, const DibFormat& source)
        : target_(target),
          source_(source),
          in_(source),
          out_(target.format),
          copy_(SameLayout(source, target.format)),
          width_(static_cast<std::size_t>(std::min(source.width, target.format.width))) {}

    std::size_t Width() const { return width_; }

    // Row `bottomRow` of the picture, counted from the bottom; null when the
    // section has no such row.
    std::uint8_t* Row(std::uint64_t bottomRow) {
        const auto height = static_cast<std::uint64_t>(target_.format.height);
        if (bottomRow >= height) {
            return nullptr;
        }
        return target_.RowFromTop(static_cast<std::int32_t>(height - 1 - bottomRow));
    }

    void ConvertRow(std::uint8_t* dst, const std::uint8_t* src) {
        if (copy_) {
            CopyPixelBits(dst, src, width_, source_.bitCount);
            return;
        }
        for (std::size_t x = 0; x < width_; ++x) {
            out_.SetColor(dst, x, in_.Color(src, x));
        }
    }

    // One palette index of an RLE source at `x` (already inside the width).
    void PutIndex(std::uint8_t* dst, std::size_t x, unsigned index) {
        if (copy_) {
            out_.SetIndex(dst, x, index);
        } else {
            out_.SetColor(dst, x, in_.IndexColor(index));
        }
    }

  private:
    GdiBitmap& target_;
    const DibFormat& source_;
    PixelCodec in_;
    PixelCodec out_;
    bool copy_;
    std::size_t width_;
};

// The RLE decoder's states: between codes, the value of a run, the byte
// after a 0 (end of line, end of bitmap, delta or literal count), the bytes
// of a literal and its padding byte, the two bytes of a delta, finished.
enum class RleState {
    kNeutral,
    kRunValue,
    kEscape,
    kLiteral,
    kLiteralPad,
    kDeltaX,
    kDeltaY,
    kDone
};

// Decodes an RLE8 or RLE4 stream whose first row is picture row `start` and
// which covers `lines` rows. Pixels outside the picture are dropped, pixels
// the stream skips are left as they are. Returns the rows the stream covered:
// all of them when it reached its end code or moved past the last row,
// otherwise the rows before the one where the data ran out.
int DecodeRle(RowWriter& writer, bool rle8, std::uint64_t start, std::uint64_t lines,
              const std::uint8_t* bits, std::size_t bitsSize) {
    const std::size_t width = writer.Width();
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    unsigned count = 0;   // pixels left in the current run or literal
    bool padded = false;  // the current literal is followed by a padding byte
    unsigned deltaX = 0;
    std::uint8_t* row = lines > 0 ? writer.Row(start) : nullptr;
    RleState state = lines > 0 ? RleState::kNeutral : RleState::kDone;

    auto put = [&](unsigned index) {
        if (row != nullptr && x < width) {
            writer.PutIndex(row, static_cast<std::size_t>(x), index);
        }
        ++x;
    };
    auto moveToRow = [&](std::uint64_t next) {
        y = next;
        row = y < lines ? writer.Row(start + y) : nullptr;
        state = y < lines ? RleState::kNeutral : RleState::kDone;
    };

    std::size_t pos = 0;
    while (state != RleState::kDone && pos < bitsSize) {
        const std::uint8_t byte = bits[pos++];
        switch (state) {
            case RleState::kNeutral:
                if (byte != 0) {
                    count = byte;
                    state = RleState::kRunValue;
                } else {
                    state = RleState::kEscape;
                }
                break;
            case RleState::kRunValue:
                if (x >= width) {
                    x += count;  // wholly outside the row: nothing to draw
                } else {
                    for (unsigned i = 0; i < count; ++i) {
                        put(rle8 ? byte : ((i & 1) ? (byte & 0x0Fu) : (byte >> 4)));
                    }
                }
                state = RleState::kNeutral;
                break;
            case RleState::kEscape:
                if (byte == 0) {  // end of line
                    x = 0;
                    moveToRow(y + 1);
                } else if (byte == 1) {  // end of bitmap
                    state = RleState::kDone;
                    y = lines;
                } else if (byte == 2) {
                    state = RleState::kDeltaX;
                } else {
                    count = byte;
                    const unsigned literalBytes = rle8 ? count : (count + 1) / 2;
                    padded = (literalBytes & 1u) != 0;
                    state = RleState::kLiteral;
                }
                break;
            case RleState::kLiteral:
                if (rle8) {
                    put(byte);
                    --count;
                } else {
                    put(byte >> 4u);
                    --count;
                    if (count > 0) {
                        put(byte & 0x0Fu);
                        --count;
                    }
                }
                if (count == 0) {
                    state = padded ? RleState::kLiteralPad : RleState::kNeutral;
                }
                break;
            case RleState::kLiteralPad:
                state = RleState::kNeutral;
                break;
            case RleState::kDeltaX:
                deltaX = byte;
                state = RleState::kDeltaY;
                break;
            case RleState::kDeltaY:
                x += deltaX;
                if (byte != 0) {
                    moveToRow(y + byte);
                } else {
                    state = RleState::kNeutral;
                }
                break;
            case RleState::kDone:
                break;
        }
    }
    return static_cast<int>(std::min(y, lines));
}

}  // namespace

int ConvertIntoSection(GdiBitmap& target, const DibFormat& source, DWORD sourceCompression,
                       UINT start, UINT lines, const std::uint8_t* bits, std::size_t bitsSize) {
    if (bits == nullptr || target.bits == nullptr || source.width <= 0 || source.height <= 0 ||
        target.format.width <= 0 || target.format.height <= 0) {
        return 0;
    }
    // Rows beyond the source picture are not there to convert.
    const auto height = static_cast<std::uint64_t>(source.height);
    if (start >= height) {
        return 0;
    }
    const std::uint64_t count = std::min<std::uint64_t>(lines, height - start);
    RowWriter writer(target, source);

    if (sourceCompression == BI_RLE8 || sourceCompression == BI_RLE4) {
        if (source.bitCount != (sourceCompression == BI_RLE8 ? 8 : 4)) {
            return 0;
        }
        return DecodeRle(writer, sourceCompression == BI_RLE8, start, count, bits, bitsSize);
    }
    if (sourceCompression != BI_RGB && sourceCompression != BI_BITFIELDS &&
        sourceCompression != BI_ALPHABITFIELDS) {
        return 0;
    }

    // The stride is worked out again rather than taken from the caller, so
    // that the reads below stay inside the block whatever `source` holds.
    std::uint32_t stride = 0;
    std::uint32_t unused = 0;
    if (!DibRowAndImageSize(source.width, 1, source.bitCount, &stride, &unused) || stride == 0) {
        return 0;
    }
    const std::uint64_t present = std::min<std::uint64_t>(count, bitsSize / stride);
    for (std::uint64_t i = 0; i < present; ++i) {
        // The block holds the rows in the source's own order: bottom row
        // first, or top row first for a top-down source.
        const std::uint64_t bottomRow = source.topDown ? start + count - 1 - i : start + i;
        std::uint8_t* dst = writer.Row(bottomRow);
        if (dst != nullptr) {
            writer.ConvertRow(dst, bits + i * stride);
        }
    }
    return static_cast<int>(present);
}

}  // namespace platform::detail
