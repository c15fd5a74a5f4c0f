// The thread's last-error code on Windows: the platform's own.
#include "surface/system_calls_windows.h"

platform::DWORD platform::GetLastError() {
    return static_cast<DWORD>(::GetLastError());
}

void platform::SetLastError(DWORD code) {
    ::SetLastError(static_cast<::DWORD>(code));
}
