// Little-endian fields of file records and descriptions. The machine is
// little-endian too (dib_records.h checks it); memcpy keeps the reads free of
// alignment assumptions.
#pragma once

#include <cstdint>
#include <cstring>

namespace veerpic::pixels {

inline std::uint16_t LoadU16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t LoadU32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::int32_t LoadI32(const std::uint8_t* p) {
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace veerpic::pixels
