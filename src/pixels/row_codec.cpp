// The row codec, conversions between formats, and RLE decoding.
#include "pixels/row_codec.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "pixels/byte_order.h"
#include "pixels/pixel_masks.h"
#include "pixels/pixel_supply.h"
#include "threads/parts.h"

namespace veerpic::pixels {

RowCodec::RowCodec(const DibFormat& format)
    : format_(format),
      red_(AnalyseMask(format.redMask)),
      green_(AnalyseMask(format.greenMask)),
      blue_(AnalyseMask(format.blueMask)) {}

unsigned RowCodec::Index(const std::uint8_t* row, std::size_t x) const {
    switch (format_.bitCount) {
        case 1:
            return (row[x >> 3] >> (7 - (x & 7))) & 1u;
        case 4:
            return (x & 1) ? (row[x >> 1] & 0x0Fu) : (row[x >> 1] >> 4u);
        default:
            return row[x];
    }
}

void RowCodec::SetIndex(std::uint8_t* row, std::size_t x, unsigned index) const {
    switch (format_.bitCount) {
        case 1: {
            const unsigned shift = 7 - static_cast<unsigned>(x & 7);
            row[x >> 3] =
                static_cast<std::uint8_t>((row[x >> 3] & ~(1u << shift)) | ((index & 1u) << shift));
            break;
        }
        case 4: {
            const unsigned shift = (x & 1) ? 0 : 4;
            row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & ~(0x0Fu << shift)) |
                                                    ((index & 0x0Fu) << shift));
            break;
        }
        default:
            row[x] = static_cast<std::uint8_t>(index);
            break;
    }
}

void RowCodec::IndexColor(unsigned index, std::uint8_t* out) const {
    if (index >= format_.colorCount || index >= kMaxColorEntries) {
        std::memset(out, 0, kWorkingPixelBytes);
        return;
    }
    const RGBQUAD& q = format_.colors[index];
    out[0] = q.rgbBlue;
    out[1] = q.rgbGreen;
    out[2] = q.rgbRed;
    out[3] = 0;
}

void RowCodec::Unpack(const std::uint8_t* row, std::size_t count, std::uint8_t* out) const {
    switch (format_.bitCount) {
        case 24:
            for (std::size_t x = 0; x < count; ++x, out += 4) {
                out[0] = row[3 * x];
                out[1] = row[3 * x + 1];
                out[2] = row[3 * x + 2];
                out[3] = 0;
            }
            return;
        case 16:
        case 32:
            for (std::size_t x = 0; x < count; ++x, out += 4) {
                const std::uint32_t p = format_.bitCount == 16 ? std::uint32_t{LoadU16(row + 2 * x)}
                                                               : LoadU32(row + 4 * x);
                out[0] = WidenChannel(p, blue_);
                out[1] = WidenChannel(p, green_);
                out[2] = WidenChannel(p, red_);
                out[3] = 0;
            }
            return;
        case 1:
        case 4:
        case 8:
            for (std::size_t x = 0; x < count; ++x, out += 4) {
                IndexColor(Index(row, x), out);
            }
            return;
        default:
            std::memset(out, 0, count * kWorkingPixelBytes);
            return;
    }
}

std::uint32_t RowCodec::FromChannels(const std::uint8_t* bgr) const {
    // A pixel made from colour alone is opaque.
    return (NarrowValue(bgr[2], red_.bits) << red_.shift) |
           (NarrowValue(bgr[1], green_.bits) << green_.shift) |
           (NarrowValue(bgr[0], blue_.bits) << blue_.shift) | format_.alphaMask;
}

unsigned RowCodec::NearestIndex(const std::uint8_t* bgr) {
    if (haveLast_ && std::memcmp(bgr, last_, 3) == 0) {
        return lastIndex_;
    }
    unsigned best = 0;
    std::int32_t bestDistance = -1;
    const unsigned count = std::min<std::uint32_t>(format_.colorCount, kMaxColorEntries);
    for (unsigned i = 0; i < count; ++i) {
        const RGBQUAD& q = format_.colors[i];
        const std::int32_t db = q.rgbBlue - bgr[0];
        const std::int32_t dg = q.rgbGreen - bgr[1];
        const std::int32_t dr = q.rgbRed - bgr[2];
        const std::int32_t d = db * db + dg * dg + dr * dr;
        if (bestDistance < 0 || d < bestDistance) {
            best = i;
            bestDistance = d;
        }
    }
    haveLast_ = true;
    std::memcpy(last_, bgr, 3);
    lastIndex_ = best;
    return best;
}

void RowCodec::Pack(std::uint8_t* row, std::size_t x, const std::uint8_t* bgr) {
    switch (format_.bitCount) {
        case 16: {
            const std::uint32_t p = FromChannels(bgr);
            row[2 * x] = static_cast<std::uint8_t>(p);
            row[2 * x + 1] = static_cast<std::uint8_t>(p >> 8);
            return;
        }
        case 24:
            std::memcpy(row + 3 * x, bgr, 3);
            return;
        case 32: {
            const std::uint32_t p = FromChannels(bgr);
            std::memcpy(row + 4 * x, &p, sizeof p);
            return;
        }
        case 1:
        case 4:
        case 8:
            SetIndex(row, x, NearestIndex(bgr));
            return;
        default:
            return;
    }
}

void ClearRowEnd(const DibFormat& f, std::uint8_t* row) {
    const std::size_t bits = static_cast<std::size_t>(f.width) * f.bitCount;
    const std::size_t whole = bits / 8;
    const unsigned rest = static_cast<unsigned>(bits % 8);
    if (rest != 0) {
        row[whole] = static_cast<std::uint8_t>(row[whole] & ~(0xFFu >> rest));
    }
    const std::size_t cleared = whole + (rest != 0 ? 1 : 0);
    std::memset(row + cleared, 0, f.stride - cleared);
}

bool SameLayout(const DibFormat& a, const DibFormat& b) {
    if (a.bitCount != b.bitCount) {
        return false;
    }
    if (a.bitCount == 16 || a.bitCount == 32) {
        return a.redMask == b.redMask && a.greenMask == b.greenMask && a.blueMask == b.blueMask &&
               a.alphaMask == b.alphaMask;
    }
    return true;  // same-depth palettes: indices are kept
}

namespace {

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

}  // namespace

RowConverter::RowConverter(const DibFormat& from, const DibFormat& to)
    : from_(from), in_(from), out_(to), copy_(SameLayout(from, to)) {}

bool RowConverter::Allocate(std::size_t width) {
    if (copy_) {
        return true;
    }
    working_.reset(new (std::nothrow) std::uint8_t[width * kWorkingPixelBytes]);
    return working_ != nullptr;
}

void RowConverter::Convert(const std::uint8_t* src, std::uint8_t* dst, std::size_t width) {
    if (copy_) {
        CopyPixelBits(dst, src, width, from_.bitCount);
        return;
    }
    in_.Unpack(src, width, working_.get());
    for (std::size_t x = 0; x < width; ++x) {
        out_.Pack(dst, x, working_.get() + kWorkingPixelBytes * x);
    }
}

void RowConverter::PutIndex(std::uint8_t* dst, std::size_t x, unsigned index) {
    if (copy_) {
        out_.SetIndex(dst, x, index);
        return;
    }
    std::uint8_t colour[kWorkingPixelBytes];
    in_.IndexColor(index, colour);
    out_.Pack(dst, x, colour);
}

namespace {

// The target's rows counted from the bottom of the picture.
struct TargetRows {
    const Plane& target;
    std::uint8_t* Row(std::uint64_t bottomRow) const {
        const auto height = static_cast<std::uint64_t>(target.format->height);
        if (bottomRow >= height) {
            return nullptr;
        }
        return target.RowFromTop(static_cast<std::int32_t>(height - 1 - bottomRow));
    }
};

// Decodes an RLE8 or RLE4 stream whose first row is picture row `start` and
// which covers `lines` rows, one byte at a time. Pixels outside the picture
// are dropped, pixels the stream skips are left as they are.
class RleDecoder {
  public:
    RleDecoder(TargetRows rows, RowConverter& converter, std::size_t width, bool rle8,
               std::uint64_t start, std::uint64_t lines)
        : rows_(rows),
          converter_(converter),
          width_(width),
          rle8_(rle8),
          start_(start),
          lines_(lines) {
        MoveToRow(0);
    }

    // Returns the rows the stream covered: all of them when it reached its
    // end code or moved past the last row, otherwise the rows before the one
    // where the data ran out.
    std::uint64_t Decode(std::span<const std::uint8_t> stream, std::uint64_t* supplied) {
        for (std::size_t pos = 0; state_ != State::kDone && pos < stream.size(); ++pos) {
            Step(stream[pos]);
        }
        *supplied = supplied_;
        return std::min(y_, lines_);
    }

  private:
    // Between codes, the value of a run, the byte after a 0 (end of line,
    // end of bitmap, delta or literal count), the bytes of a literal and its
    // padding byte, the two bytes of a delta, finished.
    enum class State {
        kNeutral,
        kRunValue,
        kEscape,
        kLiteral,
        kLiteralPad,
        kDeltaX,
        kDeltaY,
        kDone
    };

    void Step(std::uint8_t byte) {
        switch (state_) {
            case State::kNeutral:
                count_ = byte;
                state_ = byte != 0 ? State::kRunValue : State::kEscape;
                break;
            case State::kRunValue:
                Run(byte);
                state_ = State::kNeutral;
                break;
            case State::kEscape:
                Escape(byte);
                break;
            case State::kLiteral:
                Literal(byte);
                break;
            case State::kLiteralPad:
                state_ = State::kNeutral;
                break;
            case State::kDeltaX:
                deltaX_ = byte;
                state_ = State::kDeltaY;
                break;
            case State::kDeltaY:
                x_ += deltaX_;
                if (byte != 0) {
                    MoveToRow(y_ + byte);
                } else {
                    state_ = State::kNeutral;
                }
                break;
            case State::kDone:
                break;
        }
    }

    void Run(std::uint8_t value) {
        if (x_ >= width_) {
            x_ += count_;  // wholly outside the row: nothing to draw
            return;
        }
        for (unsigned i = 0; i < count_; ++i) {
            Put(rle8_ ? value : ((i & 1) ? (value & 0x0Fu) : (value >> 4)));
        }
    }

    void Escape(std::uint8_t code) {
        if (code == 0) {  // end of line
            x_ = 0;
            MoveToRow(y_ + 1);
        } else if (code == 1) {  // end of bitmap
            state_ = State::kDone;
            y_ = lines_;
        } else if (code == 2) {
            state_ = State::kDeltaX;
        } else {
            count_ = code;
            const unsigned literalBytes = rle8_ ? count_ : (count_ + 1) / 2;
            padded_ = (literalBytes & 1u) != 0;
            state_ = State::kLiteral;
        }
    }

    void Literal(std::uint8_t byte) {
        if (rle8_) {
            Put(byte);
            --count_;
        } else {
            Put(byte >> 4u);
            --count_;
            if (count_ > 0) {
                Put(byte & 0x0Fu);
                --count_;
            }
        }
        if (count_ == 0) {
            state_ = padded_ ? State::kLiteralPad : State::kNeutral;
        }
    }

    void Put(unsigned index) {
        if (row_ != nullptr && x_ < width_) {
            converter_.PutIndex(row_, static_cast<std::size_t>(x_), index);
            ++supplied_;
        }
        ++x_;
    }

    void MoveToRow(std::uint64_t next) {
        y_ = next;
        row_ = y_ < lines_ ? rows_.Row(start_ + y_) : nullptr;
        state_ = y_ < lines_ ? State::kNeutral : State::kDone;
    }

    TargetRows rows_;
    RowConverter& converter_;
    std::size_t width_;
    bool rle8_;
    std::uint64_t start_;
    std::uint64_t lines_;
    State state_ = State::kNeutral;
    std::uint64_t x_ = 0;
    std::uint64_t y_ = 0;
    std::uint8_t* row_ = nullptr;
    unsigned count_ = 0;   // pixels left in the current run or literal
    bool padded_ = false;  // the current literal is followed by a padding byte
    unsigned deltaX_ = 0;
    std::uint64_t supplied_ = 0;  // pixels written inside the picture
};

}  // namespace

int CopyPicture(const Plane& from, const Plane& to) {
    const DibFormat& a = *from.format;
    const DibFormat& b = *to.format;
    const std::int32_t height = std::min(a.height, b.height);
    const std::size_t width = static_cast<std::size_t>(std::min(a.width, b.width));
    const bool whole = SameLayout(a, b) && a.stride == b.stride;
    RowConverter converter(a, b);
    if (!whole && !converter.Allocate(width)) {
        return -1;
    }
    for (std::int32_t y = 0; y < height; ++y) {
        if (whole) {
            std::memcpy(to.RowFromTop(y), from.RowFromTop(y), a.stride);
        } else {
            converter.Convert(from.RowFromTop(y), to.RowFromTop(y), width);
        }
    }
    return height;
}

int ConvertRows(const Plane& target, const DibFormat& source, std::uint32_t compression,
                std::uint32_t start, std::uint32_t lines, std::span<const std::uint8_t> bits,
                std::uint64_t* supplied) {
    std::uint64_t ignored = 0;
    std::uint64_t& written = supplied != nullptr ? *supplied : ignored;
    written = 0;
    const DibFormat& to = *target.format;
    if (target.bits == nullptr || source.width <= 0 || source.height <= 0 || to.width <= 0 ||
        to.height <= 0) {
        return 0;
    }
    // Rows beyond the source picture are not there to convert.
    const auto height = static_cast<std::uint64_t>(source.height);
    if (start >= height) {
        return 0;
    }
    const std::uint64_t count = std::min<std::uint64_t>(lines, height - start);
    const std::size_t width = static_cast<std::size_t>(std::min(source.width, to.width));
    RowConverter converter(source, to);
    if (!converter.Allocate(width)) {
        return -1;
    }
    const TargetRows rows{target};

    if (compression == BI_RLE8 || compression == BI_RLE4) {
        if (source.bitCount != (compression == BI_RLE8 ? 8 : 4)) {
            return 0;
        }
        RleDecoder decoder(rows, converter, width, compression == BI_RLE8, start, count);
        return static_cast<int>(decoder.Decode(bits, &written));
    }
    if (compression != BI_RGB && compression != BI_BITFIELDS && compression != BI_ALPHABITFIELDS) {
        return 0;
    }

    // The stride is worked out again rather than taken from the caller, so
    // that the reads below stay inside the data whatever `source` holds.
    std::uint32_t stride = 0;
    std::uint32_t unused = 0;
    if (!DibRowAndImageSize(source.width, 1, source.bitCount, &stride, &unused) || stride == 0) {
        return 0;
    }
    const std::uint64_t whole = std::min<std::uint64_t>(count, bits.size() / stride);
    // A row cut short by the end of the data keeps the pixels wholly present.
    const std::size_t partialPixels =
        whole < count ? (bits.size() - whole * stride) * 8 / source.bitCount : 0;
    written = whole * width + std::min(width, partialPixels);
    for (std::uint64_t i = 0; i < whole + (partialPixels > 0 ? 1 : 0); ++i) {
        // The data holds the rows in the source's own order: bottom row
        // first, or top row first for a top-down source.
        const std::uint64_t bottomRow = source.topDown ? start + count - 1 - i : start + i;
        std::uint8_t* dst = rows.Row(bottomRow);
        if (dst != nullptr) {
            converter.Convert(bits.data() + i * stride, dst,
                              i < whole ? width : std::min(width, partialPixels));
        }
    }
    return static_cast<int>(whole);
}

DibFormat RgbLayoutOf(const DibFormat& f) {
    DibFormat rgb = f;
    if (HasRgbLayout(f)) {
        return rgb;
    }
    rgb.compression = BI_RGB;
    rgb.alphaMask = 0;
    if (f.bitCount == 16 || f.bitCount == 32) {
        const ChannelMasks masks = DefaultMasks(f.bitCount);
        rgb.redMask = masks.red, rgb.greenMask = masks.green, rgb.blueMask = masks.blue;
    }
    return rgb;
}

void ClearRowEnds(const Plane& plane) {
    const DibFormat& f = *plane.format;
    if (static_cast<std::size_t>(f.width) * f.bitCount != std::size_t{f.stride} * 8) {
        for (std::int32_t y = 0; y < f.height; ++y) {
            ClearRowEnd(f, plane.bits + static_cast<std::size_t>(y) * f.stride);
        }
    }
}

bool RowEndsClear(const Plane& plane) {
    const DibFormat& f = *plane.format;
    const std::size_t width = static_cast<std::size_t>(f.width) * f.bitCount;
    const std::size_t used = (width + 7) / 8;
    const unsigned spare = static_cast<unsigned>(used * 8 - width);
    for (std::int32_t y = 0; (spare != 0 || used != f.stride) && y < f.height; ++y) {
        const std::uint8_t* row = plane.bits + static_cast<std::size_t>(y) * f.stride;
        if ((spare != 0 && (row[used - 1] & ((1u << spare) - 1)) != 0) ||
            std::any_of(row + used, row + f.stride, [](std::uint8_t b) { return b != 0; })) {
            return false;
        }
    }
    return true;
}

bool ExportRows(const Plane& plane, std::uint32_t start, std::uint32_t count, bool bottomUp,
                std::uint8_t* out) {
    const DibFormat& f = *plane.format;
    const DibFormat rgb = RgbLayoutOf(f);
    const int parts =
        std::uint64_t{count} * f.stride >= threads::kSharedBytes ? threads::CoresToUse() : 1;
    std::atomic<bool> ok{true};
    // Each part converts its own rows with its own working row.
    threads::RunParts(parts, [&](int part) {
        RowConverter converter(f, rgb);
        if (!converter.Allocate(static_cast<std::size_t>(f.width))) {
            ok = false;
            return;
        }
        for (std::uint32_t i = threads::PartStart(count, part, parts);
             i < threads::PartStart(count, part + 1, parts); ++i) {
            // Output row i holds picture row (start + i) counted from the bottom.
            const auto fromTop =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(f.height) - 1 - start - i);
            std::uint8_t* row = out + std::size_t{bottomUp ? i : count - 1 - i} * f.stride;
            converter.Convert(plane.RowFromTop(fromTop), row, static_cast<std::size_t>(f.width));
            ClearRowEnd(f, row);
        }
    });
    return ok;
}

bool RowsSupplyEnough(const DibFormat& target, const DibFormat& source, std::uint32_t start,
                      std::uint32_t lines, std::uint64_t supplied) {
    const auto sourceRows = static_cast<std::uint64_t>(source.height);
    const std::uint64_t asked =
        start < sourceRows ? std::min<std::uint64_t>(lines, sourceRows - start) : 0;
    return SuppliesEnough(static_cast<std::uint64_t>(std::min(source.width, target.width)), asked,
                          supplied);
}

}  // namespace veerpic::pixels
