// When the output is written in place rather than replaced: a rename the
// system refuses for a reason writing avoids, and an output with a second
// name, on file systems without locks or without reservations. Each either
// puts the new contents under every name of the output or fails with the
// refusal's code and keeps the output byte for byte; no temporary stays.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>

#include "support/test_support.h"
#include "surface/pending_temporary.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

// The errors a call is given, in the system's own vocabulary.
#if defined(_WIN32)
constexpr int kDenied = 5;       // ERROR_ACCESS_DENIED
constexpr int kBusy = 170;       // ERROR_BUSY
constexpr int kIo = 1117;        // ERROR_IO_DEVICE
constexpr int kFull = 112;       // ERROR_DISK_FULL
constexpr int kUnsupported = 1;  // ERROR_INVALID_FUNCTION
#else
constexpr int kDenied = EACCES;
constexpr int kBusy = EBUSY;
constexpr int kIo = EIO;
constexpr int kFull = ENOSPC;
constexpr int kUnsupported = EOPNOTSUPP;
#endif

// Up to two calls that fail: the n-th of a kind (0: every one) with an error.
struct Failure {
    SystemCall call = SystemCall::kCount;
    int nth = 0;
    int error = 0;
};
Failure failures[2];
std::atomic<int> seen[static_cast<int>(SystemCall::kCount)];

int Hook(SystemCall call) {
    const int n = ++seen[static_cast<int>(call)];
    for (const Failure& f : failures) {
        if (f.call == call && (f.nth == 0 || f.nth == n)) {
            return f.error;
        }
    }
    return 0;
}

struct Case {
    const char* what;
    bool existing;  // an output stands there
    bool linked;    // and has a second name
    Failure first, second;
    DWORD code;  // ERROR_SUCCESS: the new contents are in place
};

const Case kCases[] = {
    {"a folder that takes no new entry",
     true,
     false,
     {SystemCall::kRename, 0, kDenied},
     {},
     ERROR_SUCCESS},
    {"an output that is busy", true, false, {SystemCall::kRename, 0, kBusy}, {}, ERROR_SUCCESS},
    {"a rename that fails", true, false, {SystemCall::kRename, 0, kIo}, {}, ERROR_IO_DEVICE},
    {"a folder that takes no new entry, no output yet",
     false,
     false,
     {SystemCall::kRename, 0, kDenied},
     {},
     ERROR_ACCESS_DENIED},
    {"a busy name, no output yet", false, false, {SystemCall::kRename, 0, kBusy}, {}, ERROR_BUSY},
    {"a file system without locks",
     true,
     true,
     {SystemCall::kLock, 0, kUnsupported},
     {},
     ERROR_SUCCESS},
    {"a file system without reservations: zeros make the room",
     true,
     true,
     {SystemCall::kReserve, 1, kUnsupported},
     {},
     ERROR_SUCCESS},
    {"the disk fills while zeros make the room",
     true,
     true,
     {SystemCall::kReserve, 1, kUnsupported},
     {SystemCall::kWriteAt, 2, kFull},
     ERROR_DISK_FULL},
};

TEST(InPlaceContract, RefusalsAndMissingFeaturesTheOutputIsWrittenAround) {
    const Bytes earlier(300, 0xEE);
    // Room for it takes more than one write of zeros.
    Bytes fresh(200000);
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        fresh[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    for (const Case& c : kCases) {
        TempDir dir;
        const std::string out = dir.File("out.bmp");
        const std::string other = dir.File("other.bmp");
        if (c.existing) {
            veerpic_test::WriteBytes(out, earlier);
        }
        if (c.linked) {
            fs::create_hard_link(out, other);
        }
        const std::string temp = veerpic_test::PendingTemporary(dir.path(), fresh);
        ASSERT_FALSE(temp.empty()) << c.what;
        for (auto& n : seen) {
            n = 0;
        }
        failures[0] = c.first;
        failures[1] = c.second;
        SetFaultHook(Hook);
        const BOOL placed = c.existing
                                ? ReplaceFileA(out.c_str(), temp.c_str(), nullptr,
                                               REPLACEFILE_WRITE_THROUGH, nullptr, nullptr)
                                : MoveFileExA(temp.c_str(), out.c_str(),
                                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        const DWORD code = placed ? ERROR_SUCCESS : GetLastError();
        SetFaultHook(nullptr);
        EXPECT_EQ(code, c.code) << c.what;
        if (!placed) {
            EXPECT_TRUE(DeleteFileA(temp.c_str())) << c.what;
        }
        if (c.code == ERROR_SUCCESS) {
            EXPECT_TRUE(veerpic_test::ReadBytes(out) == fresh) << c.what;
        } else if (c.existing) {
            EXPECT_TRUE(veerpic_test::ReadBytes(out) == earlier) << c.what;
        } else {
            EXPECT_FALSE(fs::exists(out)) << c.what;
        }
        if (c.linked) {
            EXPECT_TRUE(veerpic_test::ReadBytes(other) == veerpic_test::ReadBytes(out)) << c.what;
        }
        EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u) << c.what;
        EXPECT_EQ(GetLiveCounts().temporaries, 0) << c.what;
        EXPECT_EQ(GetLiveCounts().files, 0) << c.what;
    }
}

}  // namespace
