// Helpers shared by the tests of every area.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace veerpic_test {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// Path of a file under tests/data.
std::string DataPath(const std::string& relative);

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);
// The same for a path of any script, whatever the process's code page.
Bytes ReadBytesAt(const std::filesystem::path& path);
void WriteBytesAt(const std::filesystem::path& path, const Bytes& bytes);

// Appends little-endian integers to a byte buffer.
void PutU16(Bytes& out, std::uint16_t v);
void PutU32(Bytes& out, std::uint32_t v);
inline void PutI32(Bytes& out, std::int32_t v) {
    PutU32(out, static_cast<std::uint32_t>(v));
}
std::uint16_t GetU16(const Bytes& in, std::size_t at);
std::uint32_t GetU32(const Bytes& in, std::size_t at);
inline std::int32_t GetI32(const Bytes& in, std::size_t at) {
    return static_cast<std::int32_t>(GetU32(in, at));
}

// A whole BMP file: 14-byte file header, 40-byte info header, `palette`
// (4 bytes per entry) and `pixels`, with bfSize and bfOffBits worked out.
Bytes MakeBmp(std::int32_t width, std::int32_t height, std::uint16_t bitCount,
              const std::vector<std::uint32_t>& palette, const Bytes& pixels,
              std::uint32_t compression = 0);

// A width x height 24-bit BMP file with varied pixels.
Bytes Picture(int width, int height);

// Temporaries left in `dir` or below: names ending in .tmp (.TMP on Windows).
std::size_t Temporaries(const std::filesystem::path& dir);

// Whether the tool runs as built here, without an emulator or a sanitizer's
// runtime between it and the system (which need address space of their own,
// so that a limit on it says nothing of the tool).
bool ToolRunsNatively();
// A limit of `bytes` on the address space, for a `beforeExec`.
std::function<bool()> AddressSpaceLimit(std::uint64_t bytes);

// Whether the tests run with the privilege to write any file (root).
bool Privileged();
// Gives the file the hidden attribute (Windows); false where there is none.
bool SetHidden(const std::string& path);

struct RunResult {
    int exitCode = -1;  // the exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs the veerpic executable with `args` (program name not included).
// `stdoutPath`, when given, receives standard output instead of a pipe.
// `beforeExec`, when given, runs in the child just before the tool starts (to
// set a limit or drop privileges, say); the child ends with 126 if it fails.
// POSIX only: Windows starts a process without a copy of the caller.
RunResult RunTool(const std::vector<std::string>& args, const std::string& stdoutPath = "",
                  const std::function<bool()>& beforeExec = {});

#if !defined(_WIN32)
// The tool as a shell command word list, quoted, behind the emulator that
// runs it when the tests were built for another processor.
std::string ToolShellCommand();

// While alive, sections' pixels and the transfer's working memory are
// blocks whose end (or, with `guardStart`, whose start) touches an
// inaccessible page: a read or write one byte past them stops the test at
// once, whatever the heap would have put there. The end of a block lies
// within 15 bytes of its guard, so that it stays 16-byte aligned.
class GuardedBlocks {
  public:
    explicit GuardedBlocks(bool guardStart);
    ~GuardedBlocks();
    GuardedBlocks(const GuardedBlocks&) = delete;
    GuardedBlocks& operator=(const GuardedBlocks&) = delete;

    // A cleared block of the same kind, for code that holds its own pictures
    // (null when none can be had); and its release.
    static void* Allocate(std::size_t bytes);
    static void Release(void* block);
};

// Writes `bytes` into the FIFO `path` from a process of its own, once a
// reader has opened it, pausing `pauseMs` after the first `split` bytes (a
// stream whose header arrives before its pixels). The reader may open the
// FIFO before or after the writer starts; the destructor waits for the
// writer, which gives up after 30 s without a reader.
class FifoWriter {
  public:
    FifoWriter(std::string path, Bytes bytes, std::size_t split = 0, int pauseMs = 0);
    ~FifoWriter();
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

  private:
    int pid_ = -1;
};

// The unprivileged user and group the permission tests run the tool as.
inline constexpr unsigned kNobody = 65534;
// Drops to kNobody (for a `beforeExec`); false when that is not possible.
bool BecomeNobody();
#endif

// Starts the veerpic executable with `args` and its streams on the null
// device, and returns at once; WaitTool() gives its exit status (or 128 +
// signal). On Windows the number is the process id.
int StartTool(const std::vector<std::string>& args);
int WaitTool(int pid);

#if defined(_WIN32)
struct ProcessResult {
    int exitCode = -1;
    Bytes out;  // the bytes as written, line ends included
    Bytes err;
};

// Starts `commandLine` as it stands, its standard output and error going to
// the two files, and waits for it.
ProcessResult RunCommandLine(const std::string& commandLine, const std::string& outPath,
                             const std::string& errPath);
// `text` in code page `codePage` as wide characters.
std::wstring Widen(const std::string& text, unsigned codePage);

// The same with a command line of wide characters, as any program may start
// another: names of every script, whatever this process's code page.
ProcessResult RunCommandLine(const std::wstring& commandLine, const std::string& outPath,
                             const std::string& errPath);
#endif

}  // namespace veerpic_test
