// The names of temporaries, made the same way on every system.
#include <atomic>
#include <cstdint>
#include <string>

#include "surface/port.h"

std::string platform::port::TemporaryName(const std::string& prefix, std::uint64_t seed,
                                          bool capitals) {
    static std::atomic<std::uint64_t> counter{0};
    // A counter keeps the names of one process apart; a 64-bit mix spreads
    // the seed over every letter.
    std::uint64_t x = seed ^ (++counter * 0x9E3779B97F4A7C15u);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9u;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBu;
    x ^= x >> 31;
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const std::uint64_t count = capitals ? 62 : 36;
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) {
        name += kLetters[x % count];
        x /= count;
    }
    return name + ".tmp";
}
