// One row codec for every pixel format: rows of 1, 4, 8, 16, 24 and 32 bits
// (colour tables, bit-field masks) unpack to one working layout, four bytes a
// pixel (blue, green, red, 0), and pack back from it. Conversions between
// formats, RLE4 and RLE8 streams and the row order all go through here, so
// that every service that reads or writes pixels agrees on every value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "pixels/dib_format.h"
#include "pixels/pixel_masks.h"

namespace veerpic::pixels {

// Bytes of one pixel in the working layout.
inline constexpr std::size_t kWorkingPixelBytes = 4;

class RowCodec {
  public:
    explicit RowCodec(const DibFormat& format);

    // Palette index at `x` of a 1-, 4- or 8-bit row; the leftmost pixel sits
    // in the highest bits of its byte.
    unsigned Index(const std::uint8_t* row, std::size_t x) const;
    void SetIndex(std::uint8_t* row, std::size_t x, unsigned index) const;

    // Pixels [0, count) of `row` in the working layout. Palette indices
    // beyond the table give black.
    void Unpack(const std::uint8_t* row, std::size_t count, std::uint8_t* out) const;
    // Writes pixel `x` of `row` from blue, green, red: masks are filled from
    // the colour (and an alpha mask made fully opaque), palettes take the
    // nearest table entry (squared distance, the lowest index on a tie).
    void Pack(std::uint8_t* row, std::size_t x, const std::uint8_t* bgr);
    // The colour of a palette index in the working layout.
    void IndexColor(unsigned index, std::uint8_t* out) const;

  private:
    std::uint32_t FromChannels(const std::uint8_t* bgr) const;
    unsigned NearestIndex(const std::uint8_t* bgr);

    const DibFormat& format_;
    MaskChannel red_, green_, blue_;
    bool haveLast_ = false;
    std::uint8_t last_[3] = {};
    unsigned lastIndex_ = 0;
};

// Converts rows of one format into another: bit for bit where the layouts are
// the same (palette indices kept), else through the working layout.
class RowConverter {
  public:
    RowConverter(const DibFormat& from, const DibFormat& to);
    // False when the working row cannot be had.
    bool Allocate(std::size_t width);
    // The first `width` pixels of `src` into `dst`; bits after them stay as
    // they were.
    void Convert(const std::uint8_t* src, std::uint8_t* dst, std::size_t width);
    // One palette index of an RLE picture (`from` indexed) at `x` of `dst`.
    void PutIndex(std::uint8_t* dst, std::size_t x, unsigned index);

  private:
    const DibFormat& from_;
    RowCodec in_;
    RowCodec out_;
    bool copy_;
    std::unique_ptr<std::uint8_t[]> working_;
};

// Clears the bits of a row of `f` after its pixels, up to the row's stride;
// or of every row of `plane`.
void ClearRowEnd(const DibFormat& f, std::uint8_t* row);
void ClearRowEnds(const Plane& plane);

// True when rows of `a` can be copied into rows of `b` as they are.
bool SameLayout(const DibFormat& a, const DibFormat& b);

// Copies picture `from` into `to` of the same size: whole rows as they lie
// in memory (padding included) when the layouts are the same, else each row
// converted. -1 when no working memory could be had, else the rows copied.
int CopyPicture(const Plane& from, const Plane& to);

// Converts pixel data in the format `source` (with `compression`, RLE
// included) into `target`, rows [start, start + lines) counted from the
// bottom of the source picture. Reads only `bits`. Rows or pixels that the
// data does not provide are left as they are: a row cut short keeps the
// pixels that are there. Returns the number of rows converted (for RLE, the
// rows the stream covered before it ended), or -1 when no working memory
// could be had. `supplied`, when given, receives the number of pixels of the
// target the data wrote.
// Whether the `supplied` pixels ConvertRows wrote are enough of the rows
// asked for, by the one rule of pixel_supply.h.
bool RowsSupplyEnough(const DibFormat& target, const DibFormat& source, std::uint32_t start,
                      std::uint32_t lines, std::uint64_t supplied);

int ConvertRows(const Plane& target, const DibFormat& source, std::uint32_t compression,
                std::uint32_t start, std::uint32_t lines, std::span<const std::uint8_t> bits,
                std::uint64_t* supplied = nullptr);

// The BI_RGB format of `f`'s depth that rows are delivered in: 16 bits as
// 5-5-5, 32 bits as 8-8-8 with a top byte of its own. A picture already in
// that layout is delivered as it is, its top byte (alpha) included.
DibFormat RgbLayoutOf(const DibFormat& f);

// Whether the bits after each row's pixels are clear throughout `plane`.
bool RowEndsClear(const Plane& plane);

// Delivers `count` rows of `plane`, from row `start` counted from the
// bottom, into `out` in RgbLayoutOf(its format), rows of its stride with
// their ends cleared, bottom row first or top row first. A large picture's
// rows are shared out between the cores. False when no working row can be had.
bool ExportRows(const Plane& plane, std::uint32_t start, std::uint32_t count, bool bottomUp,
                std::uint8_t* out);

}  // namespace veerpic::pixels
