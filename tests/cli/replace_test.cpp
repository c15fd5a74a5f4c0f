// An existing output is replaced only as far as writing over it would be
// allowed, and keeps what writing over it would keep; outputs that are not
// files are written straight; a file-size limit is a failed write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace {

using veerpic_test::Bytes;
using veerpic_test::RunTool;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

using veerpic_test::Picture;

// The output of turning `in` by 30 degrees into a fresh file.
Bytes Expected(const TempDir& dir, const std::string& in) {
    const std::string path = dir.File("expected.bmp");
    EXPECT_EQ(RunTool({"30", in, path}).exitCode, 0);
    const Bytes bytes = veerpic_test::ReadBytes(path);
    fs::remove(path);
    return bytes;
}

std::size_t Entries(const fs::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) {
        ++n;
    }
    return n;
}

struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(Replace, FileSizeLimitIsAFailedWriteThatKeepsTheEarlierOutput) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(in, Picture(100, 80));
    const Bytes earlier = Picture(3, 3);
    veerpic_test::WriteBytes(out, earlier);
    const auto r = RunTool({"30", in, out}, "", [] {
        signal(SIGXFSZ, SIG_DFL);
        const struct rlimit limit = {4096, 4096};
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    });
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "ERROR: cannot write file '" + out + "'\n");
    EXPECT_EQ(veerpic_test::ReadBytes(out), earlier);
    EXPECT_EQ(Entries(dir.path()), 2u);  // no temporary beside them
}

// Outputs that are not files take the picture as it is written.
TEST(Replace, StreamsAreWrittenStraight) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture(20, 10));
    const Bytes expected = Expected(dir, in);

    // Standard output sent to a file.
    const std::string redirected = dir.File("redirected.bmp");
    veerpic_test::WriteBytes(redirected, Picture(50, 50));
    EXPECT_EQ(RunTool({"30", in, "/dev/stdout"}, redirected).exitCode, 0);
    EXPECT_EQ(veerpic_test::ReadBytes(redirected), expected);

    // A named pipe with a reader at the other end.
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes fromFifo;
    std::thread reader([&] { fromFifo = veerpic_test::ReadBytes(fifo); });
    const int fifoExit = RunTool({"30", in, fifo}).exitCode;
    reader.join();
    EXPECT_EQ(fifoExit, 0);
    EXPECT_EQ(fromFifo, expected);
    EXPECT_TRUE(fs::is_fifo(fifo));

    EXPECT_EQ(RunTool({"30", in, "/dev/null"}).exitCode, 0);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(Entries(dir.path()), 3u);  // in.bmp, redirected.bmp, fifo
}

// The permission cases, run as an unprivileged user in a folder that user
// can search.
class AsAnotherUser : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs a privileged run to hand files to another user";
        }
        fs::permissions(dir_.path(), fs::perms::all);  // the user may create files here
        in_ = dir_.File("in.bmp");
        veerpic_test::WriteBytes(in_, Picture(20, 10));
        if (RunAsNobody("/dev/null").exitCode != 0) {
            GTEST_SKIP() << "the unprivileged user cannot run the tool or reach the test folder";
        }
        expected_ = Expected(dir_, in_);
    }
    veerpic_test::RunResult RunAsNobody(const std::string& out) {
        return RunTool({"30", in_, out}, "", veerpic_test::BecomeNobody);
    }

    TempDir dir_;
    std::string in_;
    Bytes expected_;
};

TEST_F(AsAnotherUser, AnOutputTheUserMayNotWriteIsRefusedAndKept) {
    const std::string out = dir_.File("theirs.bmp");
    const Bytes earlier = Picture(3, 3);
    veerpic_test::WriteBytes(out, earlier);
    chmod(out.c_str(), 0644);
    const auto r = RunAsNobody(out);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "ERROR: cannot write file '" + out + "'\n");
    EXPECT_EQ(veerpic_test::ReadBytes(out), earlier);
    EXPECT_EQ(Stat(out).st_uid, 0u);
    EXPECT_EQ(Entries(dir_.path()), 2u);
}

TEST_F(AsAnotherUser, AFolderThatTakesNoNewFileGetsTheFileWrittenInPlace) {
    fs::create_directory(dir_.File("closed"));
    const std::string out = dir_.File("closed/out.bmp");
    veerpic_test::WriteBytes(out, Picture(3, 3));
    chmod(out.c_str(), 0666);
    chmod(dir_.File("closed").c_str(), 0755);
    const ino_t inode = Stat(out).st_ino;
    const auto r = RunAsNobody(out);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(veerpic_test::ReadBytes(out), expected_);
    EXPECT_EQ(Stat(out).st_ino, inode);
    EXPECT_EQ(Entries(dir_.File("closed")), 1u);
}

TEST_F(AsAnotherUser, AnotherUsersFileKeepsItsOwnerAndGainsNoSetIdBits) {
    const std::string out = dir_.File("shared.bmp");
    veerpic_test::WriteBytes(out, Picture(3, 3));
    chmod(out.c_str(), 06666);  // anyone may write; set-user-ID and set-group-ID
    const auto r = RunAsNobody(out);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(veerpic_test::ReadBytes(out), expected_);
    const struct stat st = Stat(out);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & S_ISUID, 0u);  // writing over it as another user clears the bit
    EXPECT_EQ(Entries(dir_.path()), 2u);
}

}  // namespace
