#pragma once

#include <cstdint>

// splitmix64: for what only needs to differ from one use to the next (the
// names of temporary files, the waits of two cleaners that refused each
// other), never for secrets.
inline std::uint64_t nextRandom(std::uint64_t &state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
