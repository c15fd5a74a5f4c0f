// Fuzz target for the parallelogram transfer: arbitrary corner points (small,
// far and at the 32-bit limits), small sources of every depth and row order
// (some of them narrow and tall enough for several bands of rows),
// sub-rectangles, and destinations of several formats. The portable and the
// SIMD samplers must draw the same bytes.
// Built with the others by the fuzz preset (see fuzz/README.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pixels/image.h"
#include "resample/transfer.h"

namespace {

using veerpic::pixels::BI_BITFIELDS;
using veerpic::pixels::BI_RGB;
using veerpic::pixels::Image;
using veerpic::resample::Point;
using LONG = std::int32_t;

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

std::unique_ptr<Image> MakeImage(Reader& in, std::int32_t width, std::int32_t height,
                                 std::uint16_t bitCount) {
    veerpic::pixels::DibFormat f;
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
    auto image = std::make_unique<Image>();
    if (image->Allocate(f) != veerpic::pixels::Status::kOk) {
        return nullptr;
    }
    for (std::uint8_t& byte : image->bits) {
        byte = in.Byte();
    }
    return image;
}

std::uint16_t Depth(std::uint8_t pick) {
    static constexpr std::uint16_t kDepths[] = {1, 4, 8, 16, 24, 32};
    return kDepths[pick % 6];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::int32_t width = 1 + in.Byte() % 24;
    const std::uint8_t heightPick = in.Byte();
    const bool tall = heightPick >= 240;
    const std::int32_t height = tall ? 200 + (heightPick - 240) * 37 : 1 + heightPick % 24;
    const std::uint16_t sourceDepth = Depth(in.Byte());
    const std::int32_t canvasWidth = 1 + in.Byte() % 40;
    const std::int32_t canvasHeight = 1 + in.Byte() % 40;
    // Mostly the tool's 24-bit canvas, sometimes another format.
    const std::uint8_t destPick = in.Byte();
    const std::uint16_t destDepth = destPick < 192 ? 24 : Depth(destPick);
    // A sub-rectangle, sometimes one that the transfer must refuse.
    const int xSrc = in.Byte() % (width + 1);
    const int ySrc = tall ? in.Byte() % 4 : in.Byte() % (height + 1);
    const int w = in.Byte() % (width + 2);
    const int h = tall ? height + 1 - in.Byte() % 64 : in.Byte() % (height + 2);
    Point points[3];
    for (Point& p : points) {
        p.x = in.Coordinate();
        p.y = in.Coordinate();
    }
    const veerpic::resample::SourceRect rect{xSrc, ySrc, w, h};
    std::unique_ptr<Image> source = MakeImage(in, width, height, sourceDepth);
    std::unique_ptr<Image> portable = MakeImage(in, canvasWidth, canvasHeight, destDepth);
    if (source != nullptr && portable != nullptr) {
        Image simd = *portable;
        const auto a = TransferParallelogram(portable->View(), points, source->View(), rect, false);
        const auto b = TransferParallelogram(simd.View(), points, source->View(), rect, true);
        if (a != b || portable->bits != simd.bits) {
            std::abort();  // the samplers disagree
        }
        // Onto itself, which reads from a copy.
        TransferParallelogram(source->View(), points, source->View(), {0, 0, width, height}, true);
    }
    return 0;
}
