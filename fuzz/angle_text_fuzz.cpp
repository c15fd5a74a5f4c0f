// Reads arbitrary bytes as ANGLE text: the conversion must never crash or
// read past the terminator, and its result must keep the sign that was read.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/angle_text.h"

namespace {

bool IsSpace(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that the sanitizer sees any read past the NUL.
    std::string text(reinterpret_cast<const char*>(data), size);
    const double value = veerpic::ParseAngleText(text.c_str());

    std::size_t first = 0;
    while (first < text.size() && IsSpace(static_cast<unsigned char>(text[first]))) {
        ++first;
    }
    const bool minusRead = first < text.size() && text[first] == '-';
    if (std::signbit(value) != minusRead) {
        std::abort();
    }
    // NaN only from a signed "NAN".
    if (std::isnan(value) && (first + 3 >= text.size() || text.compare(first + 1, 3, "NAN") != 0)) {
        std::abort();
    }
    // A byte of 128 or above ends the number just as the terminator does.
    const std::string extended = text.substr(0, text.find('\0')) + "\x80";
    const double again = veerpic::ParseAngleText(extended.c_str());
    if (std::bit_cast<std::uint64_t>(again) != std::bit_cast<std::uint64_t>(value)) {
        std::abort();
    }
    return 0;
}
