// PLACEHOLDER (lead): x87 long double stand-in until the portable type lands.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cli/angle_text.h"
#include "numeric/extended.h"

namespace veerpic {
namespace {
long double ToLd(const Extended& e) {
    unsigned char b[16] = {};
    std::uint64_t sig = e.Significand();
    std::memcpy(b, &sig, 8);
    std::uint16_t se =
        static_cast<std::uint16_t>(e.BiasedExponent() | (e.IsNegative() ? 0x8000 : 0));
    std::memcpy(b + 8, &se, 2);
    long double v;
    std::memcpy(&v, b, sizeof v);
    return v;
}
Extended FromLd(long double v) {
    unsigned char b[16] = {};
    std::memcpy(b, &v, 10);
    std::uint64_t sig;
    std::uint16_t se;
    std::memcpy(&sig, b, 8);
    std::memcpy(&se, b + 8, 2);
    return Extended::FromParts((se & 0x8000) != 0, static_cast<std::uint16_t>(se & 0x7FFF), sig);
}
}  // namespace
Extended Extended::FromDouble(double v) {
    return FromLd(v);
}
Extended Extended::FromInt64(std::int64_t v) {
    return FromLd(static_cast<long double>(v));
}
Extended Extended::FromUint64(std::uint64_t v) {
    return FromLd(static_cast<long double>(v));
}
Extended operator+(Extended a, Extended b) {
    return FromLd(ToLd(a) + ToLd(b));
}
Extended operator-(Extended a, Extended b) {
    return FromLd(ToLd(a) - ToLd(b));
}
Extended operator*(Extended a, Extended b) {
    return FromLd(ToLd(a) * ToLd(b));
}
Extended operator/(Extended a, Extended b) {
    return FromLd(ToLd(a) / ToLd(b));
}
Extended Extended::operator-() const {
    return FromLd(-ToLd(*this));
}
double Extended::ToDouble() const {
    return static_cast<double>(ToLd(*this));
}
std::int64_t Extended::TruncToInt64() const {
    return static_cast<std::int64_t>(ToLd(*this));
}
bool Extended::IsNaN() const {
    return std::isnan(ToLd(*this));
}
bool Extended::IsInfinite() const {
    return std::isinf(ToLd(*this));
}
bool Extended::IsZero() const {
    return ToLd(*this) == 0;
}
double ParseAngleText(const char* text) {
    return std::strtod(text, nullptr);
}
}  // namespace veerpic
