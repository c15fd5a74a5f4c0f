// The Windows port's own parts, shared between its files: the pending
// temporaries, the counts of flushes, and a guard for the last-error code.
#pragma once

#include <string>

#include "surface/system_calls_windows.h"

namespace platform::windows {

// A call that succeeds leaves the thread's code as it found it, as the
// tool's conventions expect; Windows itself sets it on some successes.
class KeepLastError {
  public:
    KeepLastError() : saved_(::GetLastError()) {}
    void Restore() const { ::SetLastError(saved_); }

  private:
    ::DWORD saved_;
};

// ------------------------------------------------------------ temporaries

// Whether `path` names a pending temporary.
bool IsPending(LPCSTR path);
// Stops treating `path` as pending (it has taken its place, or is gone).
void ForgetPending(LPCSTR path);

// Holds the console's control events (Ctrl+C, Ctrl+Break, the window
// closing) while a temporary is made or moved, or an output overwritten in
// place: the handler that removes pending temporaries and ends the process
// waits until the holder goes.
class HeldEvents {
  public:
    HeldEvents();
    ~HeldEvents();
    HeldEvents(const HeldEvents&) = delete;
    HeldEvents& operator=(const HeldEvents&) = delete;
};

// ----------------------------------------------------------------- paths

// Removes the last name of `path` as PathRemoveFileSpecA does, reading it in
// `codePage`: a lead byte of a double-byte character takes its trail byte
// along, so that a trail byte of 0x5C is never taken for a backslash.
bool RemoveFileSpec(char* path, UINT codePage);

}  // namespace platform::windows
