// The BMP decoder on arbitrary bytes: judged as a file of that length and as
// a stream of unknown length, then decoded into a picture of the format the
// headers describe. Every byte of a decoded picture is defined, and the
// decoder never reads past what it is given.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>

#include "pixels/bmp_decode.h"
#include "pixels/image.h"

namespace {

namespace pixels = veerpic::pixels;

// Pictures larger than this are judged but not decoded, so that the fuzzer
// explores rather than fills memory.
constexpr std::uint64_t kLargestDecoded = std::uint64_t{64} << 20;

void DecodeAs(std::span<const std::uint8_t> data, std::optional<std::uint64_t> length) {
    pixels::BmpLayout layout;
    if (pixels::InspectBmp(data.first(std::min(data.size(), pixels::kBmpHeadBytes)), length,
                           &layout) != pixels::Status::kOk) {
        return;
    }
    if (length && (layout.pixelOffset + layout.pixelBytes > *length)) {
        std::abort();  // the layout promises bytes the file does not have
    }
    if (std::uint64_t{layout.format.stride} * static_cast<std::uint64_t>(layout.format.height) >
            kLargestDecoded ||
        layout.pixelOffset > data.size()) {
        return;
    }
    pixels::Image image;
    if (image.Allocate(layout.format) != pixels::Status::kOk) {
        return;
    }
    const std::size_t available =
        std::min<std::uint64_t>(data.size() - layout.pixelOffset, layout.pixelBytes);
    if (pixels::DecodeBmpPixels(layout, data.subspan(layout.pixelOffset, available),
                                image.View()) == pixels::Status::kOk) {
        unsigned sum = 0;
        for (std::size_t i = 0; i < image.bits.size(); i += 61) {
            sum += image.bits[i];
        }
        asm volatile("" : : "r"(sum));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    DecodeAs(bytes, size);
    DecodeAs(bytes, std::nullopt);
    return 0;
}
