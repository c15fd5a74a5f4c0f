// Inside the bitmap services: what a bitmap section and a memory device
// context hold, and the object table that knows which handles are alive.
// The pixel work itself is the engine's (src/pixels, src/resample).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "pixels/dib_format.h"
#include "surface/platform.h"

namespace platform::detail {

// Section pixels and working memory: from the heap, or from the test's
// allocator where one is in place (port.h).
void* AllocateBlock(std::size_t bytes);  // cleared, or null
void ReleaseBlock(void* block);
void* AllocateWorking(std::size_t bytes);
void ReleaseWorking(void* block);

struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { ReleaseBlock(p); }
};

// The platform's error code for an engine refusal.
DWORD ErrorFromStatus(veerpic::pixels::Status status);

}  // namespace platform::detail

namespace platform {

// A device-independent bitmap section. `bits` holds stride * height bytes,
// zero when the section is made.
struct GdiBitmap {
    veerpic::pixels::DibFormat format;
    std::unique_ptr<std::uint8_t, detail::FreeDeleter> bits;
    std::size_t size = 0;  // stride * height
    GdiDc* selectedInto = nullptr;

    veerpic::pixels::Plane Plane() const { return {&format, bits.get()}; }
    // Row `y` counted from the top of the picture.
    std::uint8_t* RowFromTop(std::int32_t y) const { return Plane().RowFromTop(y); }
};

// A memory device context: the bitmap selected into it and its stretching mode.
struct GdiDc {
    HBITMAP selected = nullptr;  // null while the DC holds its stock 1x1 bitmap
    int stretchMode = BLACKONWHITE;
};

}  // namespace platform

namespace platform::detail {

// Creates a section of `format` (stride filled in here) with zeroed pixels and
// registers it; null with the last-error code set when it cannot be made.
HBITMAP NewSection(const veerpic::pixels::DibFormat& format);

// Registers a new DC; false (the DC not registered) when memory runs out.
bool RegisterDc(GdiDc* dc);
// Removes a DC or a bitmap from the table, before it is deleted.
void ForgetDc(GdiDc* dc);
void ForgetBitmap(GdiBitmap* bitmap);

// `object` as a live bitmap, or a live DC, of this surface; null when it is
// none (or no longer alive).
GdiBitmap* AsBitmap(const void* object);
GdiDc* AsDc(const void* object);

}  // namespace platform::detail
