// Inputs and outputs a user or an attacker can hand the tool: it ends with a
// clear message and exit code, never hangs, and never loses an earlier file.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

using veerpic_test::Bytes;
using veerpic_test::RunTool;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

using veerpic_test::Picture;
using veerpic_test::Temporaries;

// Devices, FIFOs and signals are POSIX's; Windows has its own cases in
// windows_command_line_test.cpp.
#if !defined(_WIN32)
TEST(Hostile, EndlessOrSpecialInputsAreRefused) {
    TempDir dir;
    const std::string fifo = dir.File("pipe.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& input : {std::string("/dev/zero"), std::string("/dev/urandom"),
                                     std::string("/dev/null"), fifo, dir.path().string()}) {
        // The FIFO's writer sends what no picture is.
        std::optional<veerpic_test::FifoWriter> writer;
        if (input == fifo) {
            writer.emplace(fifo, Bytes(5000, 'x'));
        }
        const auto r = RunTool({"30", input, dir.File("out.bmp")});
        EXPECT_EQ(r.exitCode, 2) << input;
        EXPECT_EQ(r.err, "ERROR: cannot open file '" + input + "'\n");
    }
    EXPECT_FALSE(fs::exists(dir.File("out.bmp")));
}

TEST(Hostile, OutputsThatCannotTakeAFile) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture(20, 10));
    fs::create_directory(dir.File("folder"));
    for (const std::string& out :
         {std::string("/dev/full"), dir.File("folder"), std::string("/proc/veerpic-out.bmp"),
          dir.File("missing/out.bmp")}) {
        const auto r = RunTool({"30", in, out});
        EXPECT_EQ(r.exitCode, 2) << out;
        EXPECT_EQ(r.err, "ERROR: cannot write file '" + out + "'\n");
    }
    EXPECT_TRUE(fs::is_directory(dir.File("folder")));
    EXPECT_TRUE(fs::is_empty(dir.File("folder")));
    EXPECT_EQ(Temporaries(dir.path()), 0u);
    // A device that takes anything is written straight.
    EXPECT_EQ(RunTool({"30", in, "/dev/null"}).exitCode, 0);
}
#endif

// Small files whose headers declare pictures of gigabytes are refused at
// once, within a small address space; a file that does hold its large
// picture opens. (A stream of deltas and end-of-line codes supplies no pixel.)
TEST(Hostile, SmallFilesThatStandForHugePicturesAreRefused) {
    TempDir dir;
    Bytes deltas;
    while (deltas.size() < 326000) {
        deltas.insert(deltas.end(), {0, 2, 255, 0, 0, 0});
    }
    deltas.insert(deltas.end(), {0, 1});
    const Bytes bombs[] = {
        veerpic_test::MakeBmp(22000, 22000, 1, {0, 0xFFFFFF}, Bytes(16, 0x55)),
        veerpic_test::MakeBmp(16384, 8192, 4, std::vector<std::uint32_t>(16), Bytes{0, 1}, 2),
        veerpic_test::MakeBmp(20000, 20000, 8, std::vector<std::uint32_t>(256), deltas, 1),
    };
    ASSERT_EQ(bombs[0].size(), 78u);
    ASSERT_EQ(bombs[1].size(), 120u);
    const auto limit = veerpic_test::ToolRunsNatively()
                           ? veerpic_test::AddressSpaceLimit(std::uint64_t{256} << 20)
                           : std::function<bool()>();
    const std::string in = dir.File("in.bmp");
    for (const Bytes& bomb : bombs) {
        veerpic_test::WriteBytes(in, bomb);
        const auto r = RunTool({"30", in, dir.File("out.bmp")}, "", limit);
        EXPECT_EQ(r.exitCode, 2) << bomb.size();
        EXPECT_EQ(r.err, "ERROR: cannot open file '" + in + "'\n") << bomb.size();
    }
    EXPECT_FALSE(fs::exists(dir.File("out.bmp")));
    // 22000 x 22000 at 1 bit, every row there (60 MB), copied whole.
    Bytes whole = veerpic_test::MakeBmp(22000, 22000, 1, {0, 0xFFFFFF},
                                        Bytes(std::size_t{2752} * 22000, 0x5A));
    veerpic_test::WriteBytes(in, whole);
    EXPECT_EQ(RunTool({"0", in, dir.File("out.bmp")}).exitCode, 0);
    EXPECT_EQ(fs::file_size(dir.File("out.bmp")), whole.size());
}

// A file's free allowance of missing pixels buys no canvas out of proportion
// to what it supplies: 66 bytes declaring a picture one pixel wide and 16 Mi
// high, turned by a hair, end at once within a small address space. A
// complete picture of that shape turns, and a photograph cut short opens.
TEST(Hostile, FewBytesBuyNoHugeCanvas) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    const std::string out = dir.File("out.bmp");
    const auto limit = veerpic_test::ToolRunsNatively()
                           ? veerpic_test::AddressSpaceLimit(std::uint64_t{64} << 20)
                           : std::function<bool()>();
    const Bytes bomb = veerpic_test::MakeBmp(1, 16 << 20, 1, {0, 0xFFFFFF}, Bytes{0x80, 0, 0, 0});
    ASSERT_EQ(bomb.size(), 66u);
    veerpic_test::WriteBytes(in, bomb);
    const auto r = RunTool({"0.0000341", in, out}, "", limit);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "ERROR: cannot open file '" + in + "'\n");
    EXPECT_FALSE(fs::exists(out));

    const struct {
        int width, height;
        std::size_t rows;  // of the picture's rows, those the file holds
        const char* angle;
    } admitted[] = {{1, 10000, 10000, "45"}, {2000, 1500, 10, "30"}};
    for (const auto& a : admitted) {
        const Bytes whole = Picture(a.width, a.height);
        const std::size_t stride = (static_cast<std::size_t>(a.width) * 3 + 3) / 4 * 4;
        veerpic_test::WriteBytes(in, Bytes(whole.begin(), whole.begin() + 54 + stride * a.rows));
        EXPECT_EQ(RunTool({a.angle, in, out}).exitCode, 0) << a.width << "x" << a.height;
    }
}

// Runs at once onto one output follow one another: the output is one of the
// two pictures, whole, whether it is replaced or (with a second name)
// written in place.
TEST(Hostile, ConcurrentRunsLeaveOneCompleteFile) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture(300, 200));
    ASSERT_EQ(RunTool({"10", in, dir.File("a.bmp")}).exitCode, 0);
    ASSERT_EQ(RunTool({"-20", in, dir.File("b.bmp")}).exitCode, 0);
    const Bytes a = veerpic_test::ReadBytes(dir.File("a.bmp"));
    const Bytes b = veerpic_test::ReadBytes(dir.File("b.bmp"));
    const std::string shared = dir.File("shared.bmp");
    for (bool linked : {false, true}) {
        if (linked) {
            fs::create_hard_link(shared, dir.File("other.bmp"));
        }
        for (int round = 0; round < 5; ++round) {
            const int first = veerpic_test::StartTool({"10", in, shared});
            const int second = veerpic_test::StartTool({"-20", in, shared});
            EXPECT_EQ(veerpic_test::WaitTool(first), 0);
            EXPECT_EQ(veerpic_test::WaitTool(second), 0);
            const Bytes result = veerpic_test::ReadBytes(shared);
            EXPECT_TRUE(result == a || result == b) << round << " " << linked;
            if (linked) {
                EXPECT_EQ(veerpic_test::ReadBytes(dir.File("other.bmp")), result) << round;
            }
        }
    }
    EXPECT_EQ(Temporaries(dir.path()), 0u);
}

#if !defined(_WIN32)
// Interrupted at any moment, a run leaves the earlier output or the complete
// new one and no temporary: a termination signal waits until an in-place
// write (an output with a second name) is done; a kill, which nothing can
// hold, may leave such an output changed, but never a temporary.
TEST(Hostile, InterruptedRunKeepsTheEarlierOutputAndNoTemporary) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture(1000, 800));
    const std::string out = dir.File("out.bmp");
    const Bytes earlier = Picture(3, 3);
    for (bool linked : {false, true}) {
        for (int sig : {SIGINT, SIGTERM, SIGKILL}) {
            for (int delayMs : {5, 40, 80, 120}) {
                fs::remove(dir.File("other.bmp"));
                veerpic_test::WriteBytes(out, earlier);
                if (linked) {
                    fs::create_hard_link(out, dir.File("other.bmp"));
                }
                const int pid = veerpic_test::StartTool({"33", in, out});
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                kill(pid, sig);
                const int status = veerpic_test::WaitTool(pid);
                const Bytes now = veerpic_test::ReadBytes(out);
                const std::string where = std::string(strsignal(sig)) + " after " +
                                          std::to_string(delayMs) + " ms" +
                                          (linked ? ", linked" : "");
                // A signal that arrives just after the new file was put in
                // place ends the run with the new file already there.
                const bool complete =
                    now.size() > 6 && now != earlier && veerpic_test::GetU32(now, 2) == now.size();
                if (status == 0) {
                    EXPECT_TRUE(complete) << where;
                } else {
                    EXPECT_EQ(status, 128 + sig) << where;
                    if (!(linked && sig == SIGKILL)) {
                        EXPECT_TRUE(now == earlier || complete) << where;
                    }
                }
                EXPECT_EQ(Temporaries(dir.path()), 0u) << where;
            }
        }
    }
}
#endif

}  // namespace
