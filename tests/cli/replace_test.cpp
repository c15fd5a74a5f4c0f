// An existing output is replaced only as far as writing over it would be
// allowed, and keeps what writing over it would keep; streams are read and
// written straight; a file-size limit is a failed write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

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

// A file-size limit is a failed write, whether it stops the new file or,
// for a picture large enough to be held in a memory file, that file too.
TEST(Replace, FileSizeLimitIsAFailedWriteThatKeepsTheEarlierOutput) {
    const struct {
        int width, height;
        rlim_t limit;
    } cases[] = {{100, 80, 4096}, {800, 600, 1 << 20}};
    for (const auto& c : cases) {
        TempDir dir;
        const std::string in = dir.File("in.bmp");
        const std::string out = dir.File("out.bmp");
        veerpic_test::WriteBytes(in, Picture(c.width, c.height));
        const Bytes earlier = Picture(3, 3);
        veerpic_test::WriteBytes(out, earlier);
        const rlim_t limit = c.limit;
        const auto r = RunTool({"30", in, out}, "", [limit] {
            signal(SIGXFSZ, SIG_DFL);
            const struct rlimit both = {limit, limit};
            return setrlimit(RLIMIT_FSIZE, &both) == 0;
        });
        EXPECT_EQ(r.exitCode, 2) << c.width;
        EXPECT_EQ(r.err, "ERROR: cannot write file '" + out + "'\n");
        EXPECT_EQ(veerpic_test::ReadBytes(out), earlier);
        EXPECT_EQ(Entries(dir.path()), 2u);  // no temporary beside them
    }
}

// Outputs that are not files take the picture as it is written.
TEST(Replace, StreamsAreWrittenStraight) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture(20, 10));
    const Bytes expected = Expected(dir, in);

    // Standard output sent to a file: the file the shell opened is written,
    // not replaced.
    const std::string redirected = dir.File("redirected.bmp");
    veerpic_test::WriteBytes(redirected, Picture(50, 50));
    const ino_t inode = Stat(redirected).st_ino;
    EXPECT_EQ(RunTool({"30", in, "/dev/stdout"}, redirected).exitCode, 0);
    EXPECT_EQ(veerpic_test::ReadBytes(redirected), expected);
    EXPECT_EQ(Stat(redirected).st_ino, inode);

    // A named pipe with a reader at the other end. The reader opens it
    // first and reads once the tool is done, so that a tool that never
    // writes fails the test instead of leaving the reader waiting; the
    // picture fits in the pipe.
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_LT(expected.size(), static_cast<std::size_t>(fcntl(reader, F_GETPIPE_SZ)));
    EXPECT_EQ(RunTool({"30", in, fifo}).exitCode, 0);
    Bytes fromFifo(expected.size() + 1);
    const ssize_t got = read(reader, fromFifo.data(), fromFifo.size());
    close(reader);
    fromFifo.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    EXPECT_EQ(fromFifo, expected);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(Entries(dir.path()), 3u);  // in.bmp, redirected.bmp, fifo
}

// A picture read from a FIFO whose header arrives before its pixels gives
// what its file gives: whole, cut short (missing rows black) or a
// compressed stream cut inside a literal run. Under an address-space limit
// too: a stream is read as far as what arrives, whatever its headers promise.
TEST(Replace, AStreamGivesWhatItsFileGives) {
    TempDir dir;
    const Bytes rle = veerpic_test::ReadBytes(veerpic_test::DataPath("bmpsuite/g/pal8rle.bmp"));
    Bytes cutRle = rle;
    cutRle.resize(cutRle.size() * 2 / 3);
    Bytes cut = Picture(200, 100);
    cut.resize(cut.size() - 1000);
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto limited = veerpic_test::AddressSpaceLimit(std::uint64_t{1} << 30);
    for (const Bytes& file : {rle, cutRle, cut}) {
        const std::string in = dir.File("in.bmp");
        veerpic_test::WriteBytes(in, file);
        const auto fromFile = RunTool({"30", in, dir.File("file.bmp")});
        ASSERT_EQ(fromFile.exitCode, 0) << file.size();
        const Bytes expected = veerpic_test::ReadBytes(dir.File("file.bmp"));
        for (bool limit : {false, true}) {
            if (limit && !veerpic_test::ToolRunsNatively()) {
                continue;  // an emulator or a sanitizer needs address space of its own
            }
            const veerpic_test::FifoWriter writer(fifo, file, 54, 100);
            const auto r = RunTool({"30", fifo, dir.File("fifo.bmp")}, "",
                                   limit ? limited : std::function<bool()>());
            EXPECT_EQ(r.exitCode, 0) << file.size() << " " << limit;
            EXPECT_EQ(veerpic_test::ReadBytes(dir.File("fifo.bmp")), expected)
                << file.size() << " " << limit;
        }
    }
}

// A mount made for one test and undone after it; `made` tells whether the
// system let the tests mount.
class Mount {
  public:
    Mount(const std::string& options, const std::string& what, const std::string& where)
        : where_(where) {
        made_ =
            geteuid() == 0 &&
            std::system(
                ("mount " + options + " '" + what + "' '" + where + "' 2>/dev/null").c_str()) == 0;
    }
    ~Mount() {
        if (made_) {
            EXPECT_EQ(std::system(("umount '" + where_ + "'").c_str()), 0);
        }
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    bool made() const { return made_; }

  private:
    std::string where_;
    bool made_ = false;
};

// Outputs that can only be written in place: a file with a second name on a
// file system too full for the new picture keeps every byte; a single file
// bound over the output's name (as a container gets its output) is written.
// And a picture of megabytes, which goes to its new file straight from the
// canvas's memory file, fills that file system: the earlier output stays.
TEST(Replace, AnOutputWrittenInPlaceIsNeverHalfNew) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture(400, 300));
    const Bytes expected = Expected(dir, in);
    const Bytes earlier = Picture(200, 150);
    fs::create_directory(dir.File("small"));
    const Mount small("-t tmpfs -o size=1m", "tmpfs", dir.File("small"));
    if (!small.made()) {
        GTEST_SKIP() << "the system does not let the tests mount a file system";
    }
    const std::string full = dir.File("small/out.bmp");
    veerpic_test::WriteBytes(full, earlier);
    fs::create_hard_link(full, dir.File("small/other.bmp"));
    // Room for the new picture beside the old one, but not for both at once.
    veerpic_test::WriteBytes(dir.File("small/filler"), Bytes(200000, 1));
    auto r = RunTool({"30", in, full});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "ERROR: cannot write file '" + full + "'\n");
    EXPECT_EQ(veerpic_test::ReadBytes(full), earlier);
    EXPECT_EQ(Entries(dir.File("small")), 3u);
    const std::string large = dir.File("large.bmp");
    veerpic_test::WriteBytes(large, Picture(800, 600));
    const std::string beside = dir.File("small/beside.bmp");
    veerpic_test::WriteBytes(beside, earlier);
    r = RunTool({"30", large, beside});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(veerpic_test::ReadBytes(beside), earlier);
    EXPECT_EQ(Entries(dir.File("small")), 4u);

    const std::string bound = dir.File("bound.bmp");
    const std::string source = dir.File("source.bmp");
    veerpic_test::WriteBytes(bound, Bytes{1});
    veerpic_test::WriteBytes(source, earlier);
    const Mount bind("--bind", source, bound);
    ASSERT_TRUE(bind.made());
    r = RunTool({"30", in, bound});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(veerpic_test::ReadBytes(bound), expected);
    EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u);
}

// Outputs of root's written by an unprivileged user: each keeps its place,
// owner and group and loses its set-ID bits, or, when the user may not write
// it (or a file-size limit stops the picture), stays as it was byte for byte.
TEST(Replace, AnotherUsersOutputIsWrittenInPlaceOrRefusedAndKept) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs a privileged run to hand files to another user";
    }
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture(20, 10));
    const auto asNobody = [&](const std::string& out, rlim_t limit = RLIM_INFINITY) {
        return RunTool({"30", in, out}, "", [limit] {
            const struct rlimit size = {limit, limit};
            return setrlimit(RLIMIT_FSIZE, &size) == 0 && veerpic_test::BecomeNobody();
        });
    };
    if (asNobody("/dev/null").exitCode != 0) {
        GTEST_SKIP() << "the unprivileged user cannot run the tool or reach the test folder";
    }
    const Bytes expected = Expected(dir, in);
    const Bytes earlier = Picture(3, 3);
    fs::create_directory(dir.File("closed"));
    struct Case {
        const char* name;
        mode_t mode;
        bool refused;
        rlim_t limit;
        uid_t owner;
    };
    const Case cases[] = {
        {"theirs.bmp", 0644, true, RLIM_INFINITY, 0},       // the user may not write it
        {"closed/out.bmp", 0666, false, RLIM_INFINITY, 0},  // the folder takes no new file
        {"closed/limited.bmp", 0666, true, 512, 0},         // nor a file of 512 bytes or more
        {"shared.bmp", 06666, false, RLIM_INFINITY, 0},     // set-user-ID and set-group-ID
        // The user's own, which the user has made read-only.
        {"mine.bmp", 0444, true, RLIM_INFINITY, veerpic_test::kNobody},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir.File(c.name);
        veerpic_test::WriteBytes(out, earlier);
        ASSERT_EQ(chown(out.c_str(), c.owner, c.owner), 0);
        chmod(out.c_str(), c.mode);
        chmod(dir.File("closed").c_str(), 0755);
        const ino_t inode = Stat(out).st_ino;
        const std::size_t entries = Entries(fs::path(out).parent_path());
        const auto r = asNobody(out, c.limit);
        EXPECT_EQ(r.exitCode, c.refused ? 2 : 0);
        EXPECT_EQ(r.err, c.refused ? "ERROR: cannot write file '" + out + "'\n" : "");
        EXPECT_EQ(veerpic_test::ReadBytes(out), c.refused ? earlier : expected);
        const struct stat st = Stat(out);
        EXPECT_EQ(st.st_ino, inode);
        EXPECT_EQ(st.st_uid, c.owner);
        EXPECT_EQ(st.st_gid, c.owner);
        EXPECT_EQ(st.st_mode & S_ISUID, 0u);  // writing as another user clears the bit
        EXPECT_EQ(Entries(fs::path(out).parent_path()), entries);
    }
}

// Links are followed as the system's own open follows them: where the
// protection of sticky folders that everyone may write is on
// (fs.protected_symlinks), a link there that neither the runner nor the
// folder's owner owns is refused, with the write message and nothing
// changed; a link the runner owns is followed, and keeps naming its file.
TEST(Replace, LinksAreFollowedOnlyWhereTheSystemWouldFollowThem) {
    std::FILE* setting = std::fopen("/proc/sys/fs/protected_symlinks", "r");
    int protectedLinks = -1;
    if (setting != nullptr) {
        protectedLinks = std::fscanf(setting, "%d", &protectedLinks) == 1 ? protectedLinks : -1;
        std::fclose(setting);
    }
    if (!veerpic_test::Privileged() || protectedLinks < 0) {
        GTEST_SKIP() << "needs a privileged run (to give a link to another user) and the setting";
    }
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture(20, 10));
    const Bytes turned = Expected(dir, in);
    const Bytes earlier{'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    for (const bool foreign : {true, false}) {
        const std::string out = dir.File(foreign ? "foreign.bmp" : "own.bmp");
        const std::string target = dir.File(foreign ? "t1.bmp" : "t2.bmp");
        veerpic_test::WriteBytes(target, earlier);
        ASSERT_EQ(symlink(target.c_str(), out.c_str()), 0);
        if (foreign) {
            ASSERT_EQ(lchown(out.c_str(), veerpic_test::kNobody, veerpic_test::kNobody), 0);
        }
        const veerpic_test::RunResult run = RunTool({"30", in, out});
        const bool refused = foreign && protectedLinks != 0;
        EXPECT_EQ(run.exitCode, refused ? 2 : 0) << foreign << " " << run.err;
        if (refused) {
            EXPECT_EQ(run.err, "ERROR: cannot write file '" + out + "'\n");
        }
        EXPECT_TRUE(fs::is_symlink(out)) << foreign;
        EXPECT_EQ(veerpic_test::ReadBytes(target), refused ? earlier : turned) << foreign;
    }
    EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u);
}

}  // namespace
