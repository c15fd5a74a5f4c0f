// How the engine answers a request it cannot carry out; the bitmap services
// turn each answer into the platform's error code.
#pragma once

namespace veerpic::pixels {

enum class Status {
    kOk,
    kInvalidParameter,  // a description or argument no bitmap can have
    kInvalidData,       // the bytes end before what they declare, or contradict it
    kTooLarge,          // beyond the sizes the format's 32-bit fields allow
    kOutOfMemory,
    kCallerFailed,  // a read or an allocation of the caller's failed: it knows why
};

}  // namespace veerpic::pixels
