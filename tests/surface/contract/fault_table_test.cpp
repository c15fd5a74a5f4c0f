// Every failure survived: the whole load, turn and save, run once for each
// call of each system function the ports make, with that one call failing.
// After each run the result is a failure with the code the failed call gave
// (or, where the service recovered, success with the right bytes), an
// earlier output is whole (one written in place is never half new), no
// temporary is left and nothing is held.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "rotate/rotate.h"
#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

constexpr int kCalls = static_cast<int>(SystemCall::kCount);

// The errors a failed call is given, in the system's own vocabulary, and the
// code a caller then sees.
struct Injected {
    int error;
    DWORD code;
};
#if defined(_WIN32)
constexpr Injected kIo = {1117, ERROR_IO_DEVICE};
constexpr Injected kFull = {112, ERROR_DISK_FULL};
constexpr Injected kNoMemory = {8, ERROR_NOT_ENOUGH_MEMORY};
#else
constexpr Injected kIo = {EIO, ERROR_IO_DEVICE};
constexpr Injected kFull = {ENOSPC, ERROR_DISK_FULL};
constexpr Injected kNoMemory = {ENOMEM, ERROR_NOT_ENOUGH_MEMORY};
#endif

// The call's name, as tests print it.
const char* SystemCallName(SystemCall call) {
    static constexpr const char* kNames[] = {
        "open", "read",   "read at", "write", "write at", "flush", "close",    "rename",
        "link", "unlink", "owner",   "mode",  "reserve",  "lock",  "allocate",
    };
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<int>(SystemCall::kCount));
    const int i = static_cast<int>(call);
    return i >= 0 && i < static_cast<int>(SystemCall::kCount) ? kNames[i] : "?";
}

// The hook: counts the calls of each function, and fails the n-th of one.
std::array<std::atomic<int>, kCalls> seen;
std::atomic<int> failCall{-1};
std::atomic<int> failAt{0};
std::atomic<int> failError{0};
std::atomic<bool> failed{false};

int Hook(SystemCall call) {
    const int i = static_cast<int>(call);
    const int n = ++seen[i];
    if (i == failCall && n == failAt) {
        failed = true;
        return failError;
    }
    return 0;
}

enum class Setting { kNewOutput, kExistingOutput, kLinkedOutput };

const char* Name(Setting s) {
    return s == Setting::kNewOutput        ? "new output"
           : s == Setting::kExistingOutput ? "existing output"
                                           : "output with a second name";
}

struct Outcome {
    bool loaded = false;
    bool saved = false;
    DWORD code = ERROR_SUCCESS;  // right after the routine that failed
};

// Loads `in`, turns it by 30 degrees and saves it to `out`, as the driver does.
Outcome LoadTurnSave(const std::string& in, const std::string& out) {
    Outcome run;
    HBITMAP source = veerpic::LoadBitmapFile(in.c_str());
    if (source == nullptr) {
        run.code = GetLastError();
        return run;
    }
    run.loaded = true;
    HBITMAP turned = veerpic::RotateBitmap(source, 30.0);
    if (turned == nullptr) {
        run.code = GetLastError();
    } else {
        run.saved = veerpic::SaveBitmapFile(out.c_str(), turned) != FALSE;
        run.code = GetLastError();
    }
    DeleteObject(source);
    DeleteObject(turned);
    return run;
}

class FaultTable : public ::testing::TestWithParam<Setting> {
  protected:
    void SetUp() override {
        in_ = dir_.File("in.bmp");
        out_ = dir_.File("out.bmp");
        other_ = dir_.File("other.bmp");
        veerpic_test::WriteBytes(in_, veerpic_test::Picture(40, 30));
        ASSERT_TRUE(LoadTurnSave(in_, dir_.File("expected.bmp")).saved);
        expected_ = veerpic_test::ReadBytes(dir_.File("expected.bmp"));
        fs::remove(dir_.File("expected.bmp"));
    }

    // The output as the setting has it before a run.
    void Prepare() {
        fs::remove(out_);
        fs::remove(other_);
        if (GetParam() != Setting::kNewOutput) {
            veerpic_test::WriteBytes(out_, earlier_);
        }
        if (GetParam() == Setting::kLinkedOutput) {
            fs::create_hard_link(out_, other_);
        }
    }

    // One run with the `at`-th call of `call` failing with `injected` (none
    // when `at` is 0); checks what it leaves. Returns the calls it made.
    std::array<int, kCalls> Try(int call, int at, Injected injected) {
        Prepare();
        for (auto& count : seen) {
            count = 0;
        }
        failCall = call;
        failAt = at;
        failError = injected.error;
        failed = false;
        SetFaultHook(Hook);
        const Outcome run = LoadTurnSave(in_, out_);
        SetFaultHook(nullptr);
        std::array<int, kCalls> made{};
        for (int i = 0; i < kCalls; ++i) {
            made[i] = seen[i];
        }
        const std::string where = std::string(Name(GetParam())) + ": " +
                                  SystemCallName(static_cast<SystemCall>(call)) + " " +
                                  std::to_string(at) + " failing";
        const bool deletionFailed = failed && call == static_cast<int>(SystemCall::kUnlink);
        if (run.saved) {
            EXPECT_EQ(veerpic_test::ReadBytes(out_), expected_) << where;
        } else {
            EXPECT_TRUE(failed) << where;
            EXPECT_EQ(run.code, injected.code) << where << (run.loaded ? ", save" : ", load");
            if (GetParam() == Setting::kNewOutput) {
                EXPECT_FALSE(fs::exists(out_)) << where;
            } else {
                // A file written in place may be left empty by a failure during
                // its overwrite, never half new; one that fails before (no
                // memory for the copy, no room, no lock) keeps every byte.
                const Bytes now = veerpic_test::ReadBytes(out_);
                const bool overwriting =
                    call == static_cast<int>(SystemCall::kWriteAt) ||
                    call == static_cast<int>(SystemCall::kReadAt) ||
                    (call == static_cast<int>(SystemCall::kReserve) && at > 1) ||
                    call == static_cast<int>(SystemCall::kFlush);
                EXPECT_TRUE(now == earlier_ ||
                            (GetParam() == Setting::kLinkedOutput && overwriting && now.empty()))
                    << where << ": " << now.size() << " bytes";
            }
        }
        if (GetParam() == Setting::kLinkedOutput) {
            EXPECT_EQ(veerpic_test::ReadBytes(other_), veerpic_test::ReadBytes(out_)) << where;
        }
        if (deletionFailed) {
            // A temporary stays only where its own deletion failed: it goes now.
            for (const auto& entry : fs::directory_iterator(dir_.path())) {
                if (entry.path().extension() == ".tmp") {
                    DeleteFileA(entry.path().string().c_str());
                }
            }
        }
        EXPECT_EQ(veerpic_test::Temporaries(dir_.path()), 0u) << where;
        const LiveCounts live = GetLiveCounts();
        EXPECT_EQ(live.bitmaps, 0) << where;
        EXPECT_EQ(live.dcs, 0) << where;
        EXPECT_EQ(live.heapBlocks, 0) << where;
        EXPECT_EQ(live.files, 0) << where;
        if (!deletionFailed) {
            EXPECT_EQ(live.temporaries, 0) << where;
        }
        return made;
    }

    TempDir dir_;
    std::string in_, out_, other_;
    Bytes expected_;
    const Bytes earlier_ = veerpic_test::Picture(7, 5);
};

TEST_P(FaultTable, EveryCallOfEveryFunctionMayFail) {
    const std::array<int, kCalls> made = Try(-1, 0, kIo);
    std::string counts;
    int runs = 0;
    for (int call = 0; call < kCalls; ++call) {
        const auto which = static_cast<SystemCall>(call);
        const Injected first = which == SystemCall::kAllocate ? kNoMemory : kIo;
        for (int at = 1; at <= made[call]; ++at) {
            Try(call, at, first);
            ++runs;
            // A write may also find the disk full.
            if (which == SystemCall::kWrite || which == SystemCall::kWriteAt) {
                Try(call, at, kFull);
                ++runs;
            }
        }
        if (made[call] > 0) {
            counts += std::string(" ") + SystemCallName(which) + " " + std::to_string(made[call]);
        }
    }
    std::printf("%s: %d runs;%s\n", Name(GetParam()), runs, counts.c_str());
}

std::string SettingName(const ::testing::TestParamInfo<Setting>& param) {
    static const char* const kNames[] = {"NewOutput", "ExistingOutput", "LinkedOutput"};
    return kNames[static_cast<int>(param.param)];
}

INSTANTIATE_TEST_SUITE_P(Settings, FaultTable,
                         ::testing::Values(Setting::kNewOutput, Setting::kExistingOutput,
                                           Setting::kLinkedOutput),
                         SettingName);

}  // namespace
