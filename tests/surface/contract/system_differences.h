// What the two systems' ports cannot do alike, in one place: each contract
// case that depends on one of these says which, and why, when it is skipped.
#pragma once

namespace contract {

#if defined(_WIN32)
inline constexpr bool kMandatorySharing = true;
inline constexpr bool kPermissionBits = false;
inline constexpr bool kFileAttributes = true;
#else
// POSIX has no mandatory sharing modes: FILE_SHARE_READ cannot keep a second
// writer out.
inline constexpr bool kMandatorySharing = false;
// Windows has no permission bits; its attributes (hidden, read-only) stand
// in for them.
inline constexpr bool kPermissionBits = true;
inline constexpr bool kFileAttributes = false;
#endif

}  // namespace contract
