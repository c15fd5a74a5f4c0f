// The thread's last-error code, on POSIX: a code of the tool's own table,
// kept per thread as the platform keeps it.
#include "surface/port.h"

namespace {
thread_local platform::DWORD lastError = platform::ERROR_SUCCESS;
}  // namespace

platform::DWORD platform::GetLastError() {
    return lastError;
}

void platform::SetLastError(DWORD code) {
    lastError = code;
}
