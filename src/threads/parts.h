// Work split into parts that run side by side: part 0 on the calling thread,
// the others on helper threads, all joined before the call returns. Parts
// that touch disjoint memory give the same bytes whatever the number of
// threads and whichever finishes first.
#pragma once

#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

namespace veerpic::threads {

// Runs work(part) for part = 0 .. parts - 1 and returns when all are done.
// A helper that cannot be started leaves its part to the calling thread.
template <typename Work>
void RunParts(int parts, const Work& work) {
    std::vector<std::thread> helpers;
    int started = 1;
    try {
        helpers.reserve(static_cast<std::size_t>(parts > 1 ? parts - 1 : 0));
        for (; started < parts; ++started) {
            helpers.emplace_back(work, started);
        }
    } catch (const std::exception&) {
        // No room for the helpers, or no thread to be had: the calling
        // thread does what was not handed out.
    }
    work(0);
    for (int part = started; part < parts; ++part) {
        work(part);
    }
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

// The start of part `part` of `parts` of [0, count); part `parts` gives the
// end. Counts up to 2^60 (rows, columns, bytes).
template <typename Count>
Count PartStart(Count count, int part, int parts) {
    return static_cast<Count>(static_cast<std::int64_t>(count) * part / parts);
}

// Copies and conversions of this many bytes or more are shared out between
// the cores; below it, starting the helpers costs about what they save.
inline constexpr std::uint64_t kSharedBytes = std::uint64_t{8} << 20;

// The machine's cores, at least 1 and at most 8.
inline int CoresToUse() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(cores < 1 ? 1 : (cores > 8 ? 8 : cores));
}

}  // namespace veerpic::threads
