#include "support/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace veerpic_test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veerpic-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string DataPath(const std::string& relative) {
    return std::string(VEERPIC_TEST_DATA) + "/" + relative;
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void PutU16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

std::uint16_t GetU16(const Bytes& in, std::size_t at) {
    return static_cast<std::uint16_t>(in.at(at) | (in.at(at + 1) << 8));
}

std::uint32_t GetU32(const Bytes& in, std::size_t at) {
    return static_cast<std::uint32_t>(in.at(at)) |
           (static_cast<std::uint32_t>(in.at(at + 1)) << 8) |
           (static_cast<std::uint32_t>(in.at(at + 2)) << 16) |
           (static_cast<std::uint32_t>(in.at(at + 3)) << 24);
}

Bytes MakeBmp(std::int32_t width, std::int32_t height, std::uint16_t bitCount,
              const std::vector<std::uint32_t>& palette, const Bytes& pixels,
              std::uint32_t compression) {
    const std::uint32_t offBits = 54 + 4 * static_cast<std::uint32_t>(palette.size());
    Bytes out;
    PutU16(out, 0x4D42);
    PutU32(out, offBits + static_cast<std::uint32_t>(pixels.size()));
    PutU16(out, 0);
    PutU16(out, 0);
    PutU32(out, offBits);
    PutU32(out, 40);
    PutI32(out, width);
    PutI32(out, height);
    PutU16(out, 1);
    PutU16(out, bitCount);
    PutU32(out, compression);
    PutU32(out, static_cast<std::uint32_t>(pixels.size()));
    PutU32(out, 0);
    PutU32(out, 0);
    PutU32(out, static_cast<std::uint32_t>(palette.size()));
    PutU32(out, 0);
    for (std::uint32_t c : palette) {
        PutU32(out, c);
    }
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

namespace {

std::string Drain(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

}  // namespace

bool BecomeNobody() {
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

RunResult RunTool(const std::vector<std::string>& args, const std::string& stdoutPath,
                  const std::function<bool()>& beforeExec) {
    // Standard error goes to a file so that a child writing much to both
    // streams cannot block on a full pipe.
    TempDir scratch;
    const std::string errPath = scratch.File("stderr");
    const std::string outPath = stdoutPath.empty() ? scratch.File("stdout") : stdoutPath;

    std::vector<char*> argv;
    std::string program = VEERPIC_EXE;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int inFd = open("/dev/null", O_RDONLY);
        if (outFd < 0 || errFd < 0 || inFd < 0) {
            _exit(127);
        }
        dup2(inFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        if (beforeExec && !beforeExec()) {
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.err = Drain(open(errPath.c_str(), O_RDONLY));
    if (stdoutPath.empty()) {
        result.out = Drain(open(outPath.c_str(), O_RDONLY));
    }
    return result;
}

int StartTool(const std::vector<std::string>& args) {
    std::vector<std::string> copies = args;
    std::string program = VEERPIC_EXE;
    std::vector<char*> argv{program.data()};
    for (std::string& a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int WaitTool(int pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace veerpic_test
