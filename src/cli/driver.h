// The command-line driver: checks the arguments, then loads, turns and saves
// the picture, and reports a failure with one line and an exit code.
#pragma once

#include <cstdio>

namespace veerpic {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitFileError = 2;

// Writes one message line (its "\n" included) to `stream`.
using LineWriter = void (*)(std::FILE* stream, const char* line);

// Runs the tool on `argv` (program name first) and returns the exit code. The
// usage line goes to `out`, error lines to `err`, each through `write`
// (std::fputs when none is given).
int RunVeerpic(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
               LineWriter write = nullptr);

}  // namespace veerpic
