// A pending temporary made as the writer makes one, for the tests of the
// file services.
#pragma once

#include <filesystem>
#include <string>

#include "support/test_support.h"
#include "surface/platform.h"

namespace veerpic_test {

// A pending temporary in `folder` holding `contents`, its file opened with
// `flags`; "" when it cannot be made.
inline std::string PendingTemporary(const std::filesystem::path& folder, const Bytes& contents,
                                    platform::DWORD flags = platform::FILE_ATTRIBUTE_NORMAL) {
    using namespace platform;
    char name[4096];
    if (GetTempFileNameA(folder.string().c_str(), "vp", 0, name, sizeof name) == 0) {
        return "";
    }
    HANDLE file =
        CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "";
    }
    DWORD written = 0;
    const bool wrote =
        WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    return CloseHandle(file) && wrote ? std::string(name) : std::string();
}

}  // namespace veerpic_test
