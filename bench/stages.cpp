// stages ANGLE input.bmp output.bmp
//
// Runs what the tool's driver runs -- LoadBitmapFile, ParseAngleText,
// RotateBitmap, SaveBitmapFile, DeleteObject -- and prints, as one JSON object
// on standard output, what each stage costs: wall time, processor time (user
// and system, from getrusage), minor and major page faults, the resident and
// proportional set size before and after the stage (/proc/self/smaps_rollup),
// and the stage's own peak resident set (the process's high-water mark is
// reset before each stage through /proc/self/clear_refs, read after it). The
// output file is the tool's, byte for byte.
//
// Stage boundaries are given on CLOCK_MONOTONIC, so that a parent sampling
// this process from outside (bench/stages.py) can tell which stage each of its
// samples fell in. The angle's conversion takes microseconds and is not timed.
//
// Exit code: 0 when the picture was written, 1 for wrong arguments, 2 when the
// input could not be loaded or the output not written (as the tool).
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "cli/angle_text.h"
#include "rotate/rotate.h"
#include "surface/platform.h"

namespace {

// Reads a small /proc file into `buffer` (terminated); false when it cannot.
bool ReadProcFile(const char* path, char* buffer, std::size_t size) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t used = 0;
    while (used + 1 < size) {
        const ssize_t got = ::read(fd, buffer + used, size - 1 - used);
        if (got <= 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    ::close(fd);
    buffer[used] = '\0';
    return used > 0;
}

// The value in kB of the line that starts with `key` (such as "Pss:"), or -1.
long FieldKib(const char* text, const char* key) {
    const std::size_t keyLength = std::strlen(key);
    for (const char* line = text; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, key, keyLength) == 0) {
            return std::strtol(line + keyLength, nullptr, 10);
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) {
            ++line;
        }
    }
    return -1;
}

// The process's memory as the system counts it, in KiB (-1 where unknown).
struct Memory {
    long rss = -1;
    long pss = -1;
    long anonHuge = -1;  // of rss, in 2 MiB pages: one fault each
};

Memory ReadMemory() {
    // A few hundred bytes; the buffer lives on the stack so that reading it
    // touches no heap memory of the run.
    char text[4096];
    Memory memory;
    if (ReadProcFile("/proc/self/smaps_rollup", text, sizeof text)) {
        memory.rss = FieldKib(text, "Rss:");
        memory.pss = FieldKib(text, "Pss:");
        memory.anonHuge = FieldKib(text, "AnonHugePages:");
    }
    return memory;
}

// The peak resident set since the last reset, in KiB, or -1.
long PeakRssKib() {
    char text[8192];
    return ReadProcFile("/proc/self/status", text, sizeof text) ? FieldKib(text, "VmHWM:") : -1;
}

// Sets the peak resident set to the present one; false where the system
// does not allow it (the stage's peak is then reported as unknown).
bool ResetPeakRss() {
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool done = ::write(fd, "5", 1) == 1;
    ::close(fd);
    return done;
}

double MonotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

rusage Usage() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage;
}

struct Stage {
    const char* name = "";
    double start = 0;
    double end = 0;
    rusage before{};
    rusage after{};
    Memory memoryBefore;
    Memory memoryAfter;
    long peakRss = -1;
};

template <typename Work>
Stage Measure(const char* name, const Work& work) {
    Stage stage;
    stage.name = name;
    const bool reset = ResetPeakRss();
    stage.memoryBefore = ReadMemory();
    stage.before = Usage();
    stage.start = MonotonicSeconds();
    work();
    stage.end = MonotonicSeconds();
    stage.after = Usage();
    stage.peakRss = reset ? PeakRssKib() : -1;
    stage.memoryAfter = ReadMemory();
    return stage;
}

void PrintStage(const Stage& s, bool last) {
    std::printf(
        "    {\"name\": \"%s\", \"start_s\": %.6f, \"end_s\": %.6f, \"wall_s\": %.6f, "
        "\"user_s\": %.6f, \"sys_s\": %.6f, \"minflt\": %ld, \"majflt\": %ld,\n"
        "     \"rss_before_kib\": %ld, \"rss_after_kib\": %ld, \"pss_before_kib\": %ld, "
        "\"pss_after_kib\": %ld, \"anon_huge_before_kib\": %ld, \"anon_huge_after_kib\": %ld, "
        "\"peak_rss_kib\": %ld}%s\n",
        s.name, s.start, s.end, s.end - s.start,
        Seconds(s.after.ru_utime) - Seconds(s.before.ru_utime),
        Seconds(s.after.ru_stime) - Seconds(s.before.ru_stime),
        s.after.ru_minflt - s.before.ru_minflt, s.after.ru_majflt - s.before.ru_majflt,
        s.memoryBefore.rss, s.memoryAfter.rss, s.memoryBefore.pss, s.memoryAfter.pss,
        s.memoryBefore.anonHuge, s.memoryAfter.anonHuge, s.peakRss, last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: stages ANGLE input.bmp output.bmp\n", stderr);
        return 1;
    }
    const Memory atStart = ReadMemory();
    const double started = MonotonicSeconds();
    std::vector<Stage> stages;
    stages.reserve(4);

    platform::HBITMAP source = nullptr;
    platform::HBITMAP rotated = nullptr;
    platform::BOOL saved = platform::FALSE;
    const char* failed = nullptr;

    stages.push_back(Measure("load", [&] { source = veerpic::LoadBitmapFile(argv[2]); }));
    if (source == nullptr) {
        failed = "load";
    } else {
        const double angle = veerpic::ParseAngleText(argv[1]);
        stages.push_back(
            Measure("transfer", [&] { rotated = veerpic::RotateBitmap(source, angle); }));
        // As in the tool, a failed turn reaches the writer as a null bitmap,
        // which it refuses.
        stages.push_back(
            Measure("save", [&] { saved = veerpic::SaveBitmapFile(argv[3], rotated); }));
        if (rotated == nullptr) {
            failed = "transfer";
        } else if (!saved) {
            failed = "save";
        }
        stages.push_back(Measure("free", [&] {
            platform::DeleteObject(source);
            platform::DeleteObject(rotated);
        }));
    }
    const double finished = MonotonicSeconds();
    const rusage total = Usage();
    const Memory atEnd = ReadMemory();

    // The whole run's peak: the largest of the stages' own peaks (the reset
    // before each stage hides earlier peaks from the process's own counter).
    long peakRss = atStart.rss;
    for (const Stage& s : stages) {
        peakRss = s.peakRss > peakRss ? s.peakRss : peakRss;
    }

    std::printf("{\n  \"ok\": %s,\n  \"failed_stage\": %s%s%s,\n  \"stages\": [\n",
                failed == nullptr ? "true" : "false", failed ? "\"" : "", failed ? failed : "null",
                failed ? "\"" : "");
    for (std::size_t i = 0; i < stages.size(); ++i) {
        PrintStage(stages[i], i + 1 == stages.size());
    }
    // The whole run: wall time from the first stage's start to the last one's
    // end; processor time and faults of the whole process, start-up included.
    std::printf(
        "  ],\n  \"whole\": {\"start_s\": %.6f, \"end_s\": %.6f, \"wall_s\": %.6f, "
        "\"user_s\": %.6f, \"sys_s\": %.6f, \"minflt\": %ld, \"majflt\": %ld,\n"
        "    \"rss_before_kib\": %ld, \"rss_after_kib\": %ld, \"pss_before_kib\": %ld, "
        "\"pss_after_kib\": %ld, \"peak_rss_kib\": %ld}\n}\n",
        started, finished, finished - started, Seconds(total.ru_utime), Seconds(total.ru_stime),
        total.ru_minflt, total.ru_majflt, atStart.rss, atEnd.rss, atStart.pss, atEnd.pss, peakRss);
    return failed == nullptr ? 0 : 2;
}
