// A picture that owns its pixel memory, for code that holds pictures of its
// own rather than through the bitmap services: tests, benchmarks and tools.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

#include "pixels/dib_format.h"

namespace veerpic::pixels {

struct Image {
    DibFormat format;
    std::vector<std::uint8_t> bits;

    // Takes `f` (its stride worked out here) with every pixel 0.
    Status Allocate(const DibFormat& f) {
        format = f;
        std::uint32_t size = 0;
        if (!DibRowAndImageSize(f.width, f.height, f.bitCount, &format.stride, &size)) {
            return Status::kTooLarge;
        }
        try {
            bits.assign(size, 0);
        } catch (const std::bad_alloc&) {
            return Status::kOutOfMemory;
        }
        return Status::kOk;
    }

    Plane View() { return {&format, bits.data()}; }
};

}  // namespace veerpic::pixels
