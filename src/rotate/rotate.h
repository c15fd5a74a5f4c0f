// Turning a bitmap about its centre.
#pragma once

#include "surface/platform.h"

namespace veerpic {

// Returns a new bitmap holding `source` turned by `angleDegrees` (clockwise on
// screen for a positive angle) on a 24-bit canvas the size of the turned
// picture's bounding box, truncated; for a whole number of turns, a copy of
// the source at its own depth. Null on failure. The source stays the caller's.
platform::HBITMAP RotateBitmap(platform::HBITMAP source, double angleDegrees);

// A new, black 24-bit bottom-up bitmap section of `width` x `height` pixels.
platform::HBITMAP CreateRgb24Bitmap(platform::HDC dc, platform::LONG width, platform::LONG height);

}  // namespace veerpic
