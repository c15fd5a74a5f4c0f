// Conversion of the ANGLE argument into degrees.
#pragma once

#include "numeric/extended.h"

namespace veerpic {

// Reads the leading decimal number of `text` and ignores the rest. Never
// fails: text without a number gives zero (negative zero after a lone "-").
double ParseAngleText(const char* text);

// 10^magnitude in extended precision as the conversion scales by it: the
// product, smallest factor first, of 10^(magnitude mod 8) and of the nearest
// extended values to 10^8, 10^16, ..., 10^4096 for the bits 3 to 12 of
// `magnitude` that are set. Infinity for magnitudes above 4932.
Extended PowerOfTenExtended(unsigned magnitude);

}  // namespace veerpic
