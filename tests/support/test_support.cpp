#include "support/test_support.h"

#include "surface/testing.h"

#if defined(_WIN32)
#include <windows.h>

#include <map>
#include <mutex>
#else
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>

namespace veerpic_test {

#if defined(_WIN32)
TempDir::TempDir() {
    std::random_device entropy;
    std::mt19937_64 random(entropy() ^ ::GetCurrentProcessId());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "veerpic-test-%08llx",
                      static_cast<unsigned long long>(random() & 0xFFFFFFFFu));
        std::error_code ec;
        if (std::filesystem::create_directory(base / name, ec) && !ec) {
            path_ = base / name;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}
#else
TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veerpic-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    path_ = pattern;
}
#endif

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string DataPath(const std::string& relative) {
    return std::string(VEERPIC_TEST_DATA) + "/" + relative;
}

Bytes ReadBytes(const std::string& path) {
    return ReadBytesAt(path);
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    WriteBytesAt(path, bytes);
}

Bytes ReadBytesAt(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytesAt(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
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

Bytes Picture(int width, int height) {
    const int stride = (width * 3 + 3) / 4 * 4;
    Bytes pixels(static_cast<std::size_t>(stride) * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 24);
    }
    return MakeBmp(width, height, 24, {}, pixels);
}

bool ToolRunsNatively() {
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
    return false;
#else
    return std::string(VEERPIC_EXE_LAUNCHER).empty();
#endif
}

std::function<bool()> AddressSpaceLimit(std::uint64_t bytes) {
#if defined(_WIN32)
    (void)bytes;
    return {};
#else
    return [bytes] {
        const struct rlimit limit = {bytes, bytes};
        return setrlimit(RLIMIT_AS, &limit) == 0;
    };
#endif
}

bool Privileged() {
#if defined(_WIN32)
    return false;
#else
    return geteuid() == 0;
#endif
}

bool SetHidden(const std::string& path) {
#if defined(_WIN32)
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           ::SetFileAttributesA(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN) != 0;
#else
    (void)path;
    return false;
#endif
}

std::size_t Temporaries(const std::filesystem::path& dir) {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        std::string extension = entry.path().extension().string();
        for (char& c : extension) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        n += extension == ".tmp";
    }
    return n;
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

#if defined(_WIN32)

namespace {

// An argument written so that the tool's command-line cutting gives it back.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    // Backslashes stay as they are except before a quote; so a quote in the
    // argument is written as \" and trailing backslashes go after the
    // closing quote.
    std::size_t end = arg.size();
    while (end > 0 && arg[end - 1] == '\\') {
        --end;
    }
    std::string quoted = "\"";
    for (std::size_t i = 0; i < end; ++i) {
        if (arg[i] == '"') {
            quoted += '\\';
        }
        quoted += arg[i];
    }
    quoted += '"';
    quoted.append(arg, end, std::string::npos);
    return quoted;
}

std::string ToolCommandLine(const std::vector<std::string>& args) {
    std::string line = QuoteArgument(VEERPIC_EXE);
    for (const std::string& a : args) {
        line += ' ';
        line += QuoteArgument(a);
    }
    return line;
}

HANDLE OpenInheritable(const std::string& path, bool writing) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    return ::CreateFileA(path.c_str(), writing ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Text as a reader in text mode sees it: each CR LF pair is one line end.
std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadBytes(path);
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            continue;
        }
        text += static_cast<char>(bytes[i]);
    }
    return text;
}

std::mutex startedLock;
std::map<int, HANDLE> started;

// Starts `commandLine` with the given streams, which it closes; returns the
// process handle, or null when a stream did not open or the start failed.
HANDLE Launch(const std::wstring& commandLine, HANDLE in, HANDLE out, HANDLE err) {
    const bool opened =
        in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine;
    const BOOL made = opened && ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0,
                                                 nullptr, nullptr, &startup, &process);
    for (HANDLE h : {in, out, err}) {
        if (h != INVALID_HANDLE_VALUE) {
            ::CloseHandle(h);
        }
    }
    if (!made) {
        return nullptr;
    }
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

int WaitProcess(HANDLE process) {
    ::WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    return static_cast<int>(code);
}

// Text of the process's code page as wide characters, as CreateProcessA
// would take it.
std::wstring FromCodePage(const std::string& text) {
    return Widen(text, CP_ACP);
}

}  // namespace

std::wstring Widen(const std::string& text, unsigned codePage) {
    std::wstring wide(text.size() + 1, L'\0');
    const int n = ::MultiByteToWideChar(codePage, 0, text.c_str(), -1, wide.data(),
                                        static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return wide;
}

ProcessResult RunCommandLine(const std::string& commandLine, const std::string& outPath,
                             const std::string& errPath) {
    return RunCommandLine(FromCodePage(commandLine), outPath, errPath);
}

ProcessResult RunCommandLine(const std::wstring& commandLine, const std::string& outPath,
                             const std::string& errPath) {
    HANDLE process = Launch(commandLine, OpenInheritable("NUL", false),
                            OpenInheritable(outPath, true), OpenInheritable(errPath, true));
    if (process == nullptr) {
        throw std::runtime_error("cannot start a command line");
    }
    ProcessResult result;
    result.exitCode = WaitProcess(process);
    result.out = ReadBytes(outPath);
    result.err = ReadBytes(errPath);
    return result;
}

RunResult RunTool(const std::vector<std::string>& args, const std::string& stdoutPath,
                  const std::function<bool()>& beforeExec) {
    if (beforeExec) {
        throw std::logic_error("a child process on Windows runs no code of the caller's");
    }
    TempDir scratch;
    const std::string errPath = scratch.File("stderr");
    const std::string outPath = stdoutPath.empty() ? scratch.File("stdout") : stdoutPath;
    const ProcessResult run = RunCommandLine(ToolCommandLine(args), outPath, errPath);
    RunResult result;
    result.exitCode = run.exitCode;
    result.err = ReadText(errPath);
    if (stdoutPath.empty()) {
        result.out = ReadText(outPath);
    }
    return result;
}

int StartTool(const std::vector<std::string>& args) {
    HANDLE process = Launch(FromCodePage(ToolCommandLine(args)), OpenInheritable("NUL", false),
                            OpenInheritable("NUL", true), OpenInheritable("NUL", true));
    if (process == nullptr) {
        return -1;
    }
    const int pid = static_cast<int>(::GetProcessId(process));
    std::lock_guard<std::mutex> guard(startedLock);
    started[pid] = process;
    return pid;
}

int WaitTool(int pid) {
    HANDLE process = nullptr;
    {
        std::lock_guard<std::mutex> guard(startedLock);
        const auto found = started.find(pid);
        if (found == started.end()) {
            return -1;
        }
        process = found->second;
        started.erase(found);
    }
    return WaitProcess(process);
}

#else

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

// The program's argument list: the tool, behind the emulator that runs it
// when the tests were built for another processor.
std::vector<std::string> ToolArgv(const std::vector<std::string>& args) {
    std::vector<std::string> words;
    const std::string launcher = VEERPIC_EXE_LAUNCHER;
    for (std::size_t at = 0; at < launcher.size();) {
        const std::size_t bar = std::min(launcher.find('|', at), launcher.size());
        words.push_back(launcher.substr(at, bar - at));
        at = bar + 1;
    }
    words.push_back(VEERPIC_EXE);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

}  // namespace

std::string ToolShellCommand() {
    std::string command;
    for (const std::string& word : ToolArgv({})) {
        command += (command.empty() ? "'" : " '") + word + "'";
    }
    return command;
}

FifoWriter::FifoWriter(std::string path, Bytes bytes, std::size_t split, int pauseMs) {
    // The writer is a process, not a thread, so that the tool is always
    // started from a process with one thread: a fork beside a thread that
    // waits in a system call is not dependable under an emulator.
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ != 0) {
        return;
    }
    // A reader that stops early must not end the writer: the write fails.
    signal(SIGPIPE, SIG_IGN);
    int fd = -1;
    for (int tries = 0; tries < 3000 && fd < 0; ++tries) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            usleep(10 * 1000);
        }
    }
    if (fd < 0) {
        _exit(1);
    }
    fcntl(fd, F_SETFL, 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (done == split && pauseMs > 0) {
            usleep(static_cast<useconds_t>(pauseMs) * 1000);
        }
        const std::size_t end = done < split ? split : bytes.size();
        const ssize_t n = write(fd, bytes.data() + done, end - done);
        if (n <= 0) {
            break;  // the reader has gone
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    _exit(0);
}

FifoWriter::~FifoWriter() {
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

namespace {

// The blocks GuardedBlocks handed out: the mapping each lies in.
struct Mapping {
    void* base;
    std::size_t length;
};
std::mutex guardedLock;
std::map<void*, Mapping>* guarded = nullptr;
bool guardStartOfBlocks = false;

void* GuardedAllocate(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t rounded = (bytes + 15) / 16 * 16;
    const std::size_t pages = (rounded + page - 1) / page;
    const std::size_t length = (pages + 1) * page;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        return nullptr;
    }
    auto* bytesAt = static_cast<std::uint8_t*>(base);
    std::uint8_t* block = nullptr;
    if (guardStartOfBlocks) {
        mprotect(bytesAt, page, PROT_NONE);
        block = bytesAt + page;
    } else {
        mprotect(bytesAt + pages * page, page, PROT_NONE);
        block = bytesAt + pages * page - rounded;
    }
    std::lock_guard<std::mutex> hold(guardedLock);
    (*guarded)[block] = {base, length};
    return block;
}

void GuardedRelease(void* block) {
    if (block == nullptr) {
        return;
    }
    Mapping mapping{};
    {
        std::lock_guard<std::mutex> hold(guardedLock);
        const auto found = guarded->find(block);
        if (found == guarded->end()) {
            std::abort();  // not one of ours: a test fault, not the tool's
        }
        mapping = found->second;
        guarded->erase(found);
    }
    munmap(mapping.base, mapping.length);
}

const platform::BlockAllocator kGuardedAllocator = {GuardedAllocate, GuardedRelease};

}  // namespace

GuardedBlocks::GuardedBlocks(bool guardStart) {
    guardStartOfBlocks = guardStart;
    if (guarded == nullptr) {
        guarded = new std::map<void*, Mapping>;
    }
    platform::SetBlockAllocator(&kGuardedAllocator);
}

GuardedBlocks::~GuardedBlocks() {
    platform::SetBlockAllocator(nullptr);
}

void* GuardedBlocks::Allocate(std::size_t bytes) {
    return GuardedAllocate(bytes);
}

void GuardedBlocks::Release(void* block) {
    GuardedRelease(block);
}

bool BecomeNobody() {
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

namespace {

// Starts the tool with `args` and its three streams on the given files;
// returns its process id, or -1.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath,
            const std::string& errPath, const std::function<bool()>& beforeExec = {}) {
    std::vector<std::string> words = ToolArgv(args);
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int inFd = open("/dev/null", O_RDONLY);
        const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
    return pid;
}

}  // namespace

RunResult RunTool(const std::vector<std::string>& args, const std::string& stdoutPath,
                  const std::function<bool()>& beforeExec) {
    // Standard error goes to a file so that a child writing much to both
    // streams cannot block on a full pipe.
    TempDir scratch;
    const std::string errPath = scratch.File("stderr");
    const std::string outPath = stdoutPath.empty() ? scratch.File("stdout") : stdoutPath;
    const pid_t pid = Spawn(args, outPath, errPath, beforeExec);
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    RunResult result;
    result.exitCode = WaitTool(pid);
    result.err = Drain(open(errPath.c_str(), O_RDONLY));
    if (stdoutPath.empty()) {
        result.out = Drain(open(outPath.c_str(), O_RDONLY));
    }
    return result;
}

int StartTool(const std::vector<std::string>& args) {
    return Spawn(args, "/dev/null", "/dev/null");
}

int WaitTool(int pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif

}  // namespace veerpic_test
