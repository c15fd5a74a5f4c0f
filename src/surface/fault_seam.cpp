// The fault seam of the ports: a test's hook, asked before each system call.
#include <atomic>

#include "surface/port.h"

namespace platform::port {

namespace {
std::atomic<FaultHook> faultHook{nullptr};
}  // namespace

const char* SystemCallName(SystemCall call) {
    static constexpr const char* kNames[] = {
        "open", "read",   "read at", "write", "write at", "flush", "close",    "rename",
        "link", "unlink", "owner",   "mode",  "reserve",  "lock",  "allocate",
    };
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<int>(SystemCall::kCount));
    const int i = static_cast<int>(call);
    return i >= 0 && i < static_cast<int>(SystemCall::kCount) ? kNames[i] : "?";
}

void SetFaultHook(FaultHook hook) {
    faultHook.store(hook);
}

int InjectedFault(SystemCall call) {
    const FaultHook hook = faultHook.load(std::memory_order_relaxed);
    return hook != nullptr ? hook(call) : 0;
}

}  // namespace platform::port
