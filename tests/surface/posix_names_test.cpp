// What a name stands for on POSIX, as GetFileAttributesA and the placement
// see it: links followed exactly where the system's own open follows them
// (protected links in sticky folders, relative links, chains), a descriptor
// of the process's own as a stream, and a file the process may not write
// as read-only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A link is followed where the system's own open follows it: the kernel is
// the oracle, for each folder and owner of a link in it.
TEST(PosixNames, LinksAreFollowedWhereTheSystemFollowsThem) {
    if (!veerpic_test::Privileged()) {
        GTEST_SKIP() << "needs a privileged run to give folders and links to another user";
    }
    TempDir dir;
    const std::string target = dir.File("target.bmp");
    veerpic_test::WriteBytes(target, Bytes{1});
    const struct {
        const char* folder;
        mode_t mode;
        uid_t folderOwner;
        uid_t linkOwner;
    } cases[] = {
        {"sticky", 01777, 0, veerpic_test::kNobody},  // refused where protected
        {"sticky-theirs", 01777, veerpic_test::kNobody, veerpic_test::kNobody},
        {"open", 0777, 0, veerpic_test::kNobody},            // not sticky
        {"sticky-closed", 01755, 0, veerpic_test::kNobody},  // not writable by everyone
        {"sticky-mine", 01777, 0, 0},                        // the runner's own link
    };
    for (const auto& c : cases) {
        const std::string folder = dir.File(c.folder);
        const std::string link = folder + "/link.bmp";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), c.linkOwner, c.linkOwner), 0);
        ASSERT_EQ(chown(folder.c_str(), c.folderOwner, c.folderOwner), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
        const int fd = open(link.c_str(), O_RDONLY | O_CLOEXEC);
        const bool refused = fd < 0 && errno == EACCES;
        if (fd >= 0) {
            close(fd);
        }
        SetLastError(0);
        const DWORD attributes = GetFileAttributesA(link.c_str());
        EXPECT_EQ(attributes, refused ? INVALID_FILE_ATTRIBUTES : FILE_ATTRIBUTE_NORMAL)
            << c.folder;
        EXPECT_EQ(GetLastError(), refused ? ERROR_ACCESS_DENIED : 0u) << c.folder;
    }
}

// Relative links lead from their own folder, through a chain of them.
TEST(PosixNames, AChainOfRelativeLinksLeadsToItsFile) {
    TempDir dir;
    fs::create_directory(dir.File("sub"));
    veerpic_test::WriteBytes(dir.File("sub/real.bmp"), Bytes(10, 1));
    fs::create_symlink("real.bmp", dir.File("sub/one"));
    fs::create_symlink("sub/one", dir.File("two"));
    fs::create_symlink("two", dir.File("three"));
    const std::string out = dir.File("three");
    EXPECT_EQ(GetFileAttributesA(out.c_str()), FILE_ATTRIBUTE_NORMAL);
    const std::string made = veerpic_test::PendingTemporary(dir.path(), Bytes{'n', 'e', 'w'});
    ASSERT_FALSE(made.empty());
    const char* temp = made.c_str();
    EXPECT_TRUE(ReplaceFileA(out.c_str(), temp, nullptr, 0, nullptr, nullptr)) << GetLastError();
    EXPECT_EQ(veerpic_test::ReadBytes(dir.File("sub/real.bmp")), (Bytes{'n', 'e', 'w'}));
    for (const char* name : {"sub/one", "two", "three"}) {
        EXPECT_TRUE(fs::is_symlink(dir.File(name))) << name;
    }
    EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u);
}

// A descriptor of the process's own, open on a regular file, is a stream to
// write into as it is; a link to the same file is the file.
TEST(PosixNames, ADescriptorOfTheProcessIsAStream) {
    TempDir dir;
    const std::string path = dir.File("file.bmp");
    veerpic_test::WriteBytes(path, Bytes{1});
    fs::create_symlink(path, dir.File("link.bmp"));
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const std::string& name :
         {"/dev/fd/" + std::to_string(fd), "/proc/self/fd/" + std::to_string(fd)}) {
        EXPECT_NE(GetFileAttributesA(name.c_str()) & FILE_ATTRIBUTE_DEVICE, 0u) << name;
    }
    close(fd);
    EXPECT_EQ(GetFileAttributesA(dir.File("link.bmp").c_str()), FILE_ATTRIBUTE_NORMAL);
}

// Another user's file, or one made read-only, is read-only to the process;
// its own writable file is not.
TEST(PosixNames, AFileTheProcessMayNotWriteIsReadOnly) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const std::string theirs = dir.File("theirs.bmp");
    veerpic_test::WriteBytes(theirs, Bytes{1});
    fs::permissions(theirs, static_cast<fs::perms>(0644));
    const pid_t pid = fork();
    if (pid == 0) {
        // Unprivileged already, or made so: a privileged process may write any file.
        if (geteuid() == 0 && !veerpic_test::BecomeNobody()) {
            _exit(3);
        }
        const std::string mine = dir.File("mine.bmp");
        const int fd = open(mine.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || close(fd) != 0) {
            _exit(4);
        }
        const bool theirsReadOnly = GetFileAttributesA(theirs.c_str()) == FILE_ATTRIBUTE_READONLY;
        const bool mineWritable = GetFileAttributesA(mine.c_str()) == FILE_ATTRIBUTE_NORMAL;
        _exit(theirsReadOnly && mineWritable ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
