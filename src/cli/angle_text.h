// Conversion of the ANGLE argument into degrees.
#pragma once

namespace veerpic {

// Reads the leading decimal number of `text` and ignores the rest. Never
// fails: text without a number gives zero (negative zero after a lone "-").
double ParseAngleText(const char* text);

}  // namespace veerpic
