// Fuzz target for the parallelogram transfer: arbitrary corner points (small,
// far and at the 32-bit limits), small sources of every depth and row order,
// sub-rectangles, and destinations of several formats. The portable and the
// SIMD samplers must draw the same bytes.
// Built with the others by the fuzz preset (see fuzz/README.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "surface/dib.h"
#include "surface/plgblt_internal.h"

namespace {

using namespace platform;

// Reads the input front to back; past its end every read gives 0.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t U32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        }
        return v;
    }
    // A coordinate: mostly near the canvas, sometimes anything at all.
    LONG Coordinate() {
        const std::uint8_t kind = Byte();
        if (kind < 200) {
            return static_cast<LONG>(Byte()) - 64;
        }
        if (kind < 230) {
            return static_cast<LONG>(static_cast<std::int16_t>(U32()));
        }
        return static_cast<LONG>(U32());
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

HBITMAP MakeSection(Reader& in, std::int32_t width, std::int32_t height, std::uint16_t bitCount) {
    detail::DibFormat f;
    f.width = width;
    f.height = height;
    f.topDown = (in.Byte() & 1) != 0;
    f.bitCount = bitCount;
    if (bitCount == 16 || bitCount == 32) {
        const bool masks = (in.Byte() & 1) != 0;
        f.compression = masks ? BI_BITFIELDS : BI_RGB;
        if (bitCount == 16) {
            f.redMask = masks ? 0xF800u : 0x7C00u;
            f.greenMask = masks ? 0x07E0u : 0x03E0u;
            f.blueMask = 0x001Fu;
        } else {
            f.redMask = masks ? 0x3FF00000u : 0xFF0000u;
            f.greenMask = masks ? 0x000FFC00u : 0x00FF00u;
            f.blueMask = masks ? 0x000003FFu : 0x0000FFu;
        }
    }
    if (bitCount <= 8) {
        f.colorCount = 1u + in.Byte() % (1u << bitCount);
        for (std::uint32_t i = 0; i < f.colorCount; ++i) {
            f.colors[i] = {in.Byte(), in.Byte(), in.Byte(), 0};
        }
    }
    HBITMAP b = detail::NewSection(f);
    if (b != nullptr) {
        for (std::size_t i = 0; i < b->size; ++i) {
            b->bits.get()[i] = in.Byte();
        }
    }
    return b;
}

std::uint16_t Depth(std::uint8_t pick) {
    static constexpr std::uint16_t kDepths[] = {1, 4, 8, 16, 24, 32};
    return kDepths[pick % 6];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::int32_t width = 1 + in.Byte() % 24;
    const std::int32_t height = 1 + in.Byte() % 24;
    const std::uint16_t sourceDepth = Depth(in.Byte());
    const std::int32_t canvasWidth = 1 + in.Byte() % 40;
    const std::int32_t canvasHeight = 1 + in.Byte() % 40;
    // Mostly the tool's 24-bit canvas, sometimes another format.
    const std::uint8_t destPick = in.Byte();
    const std::uint16_t destDepth = destPick < 192 ? 24 : Depth(destPick);
    // A sub-rectangle, sometimes one that the transfer must refuse.
    const int xSrc = in.Byte() % (width + 1);
    const int ySrc = in.Byte() % (height + 1);
    const int w = in.Byte() % (width + 2);
    const int h = in.Byte() % (height + 2);
    POINT points[3];
    for (POINT& p : points) {
        p.x = in.Coordinate();
        p.y = in.Coordinate();
    }
    HBITMAP source = MakeSection(in, width, height, sourceDepth);
    HBITMAP portable = MakeSection(in, canvasWidth, canvasHeight, destDepth);
    HBITMAP simd = portable != nullptr ? detail::NewSection(portable->format) : nullptr;
    if (source != nullptr && portable != nullptr && simd != nullptr) {
        std::memcpy(simd->bits.get(), portable->bits.get(), portable->size);
        detail::DrawHalftoneParallelogram(*portable, points, *source, xSrc, ySrc, w, h, false);
        detail::DrawHalftoneParallelogram(*simd, points, *source, xSrc, ySrc, w, h, true);
        if (std::memcmp(portable->bits.get(), simd->bits.get(), portable->size) != 0) {
            std::abort();  // the samplers disagree
        }
        // Onto itself, which reads from a copy.
        detail::DrawHalftoneParallelogram(*source, points, *source, 0, 0, width, height, true);
    }
    DeleteObject(source);
    DeleteObject(portable);
    DeleteObject(simd);
    return 0;
}
