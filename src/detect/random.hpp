// The detection core's own random numbers: a small counter-based generator
// (a 64-bit counter stepped by the golden ratio and mixed, as in SplitMix64)
// owned by the caller.  No global state: two detectors in two threads never
// share one, and the same seed gives the same draws on every machine and C
// library.
#pragma once

#include <cstdint>
#include <vector>

#include "core/array_view.hpp"

namespace orbisect::detect {

// A 64-bit value whose bits all depend on every bit of z (a bijection).
inline uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class core_random {
  public:
    explicit core_random(uint64_t seed) : state_(seed) {}

    // The next 32-bit draw.
    uint32_t next() {
        state_ += 0x9E3779B97F4A7C15ull;
        return static_cast<uint32_t>(mix64(state_) >> 32);
    }

  private:
    uint64_t state_;
};

// A frame's key: `seed` and the first n points of a point set folded into
// one value, so that a frame's draws depend on the frame and the seed alone,
// not on the frames before it.
inline uint64_t frame_key(uint64_t seed, const points_view &ps, int64_t n) {
    uint64_t h = mix64(seed ^ 0x6A09E667F3BCC909ull);
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t xy = static_cast<uint32_t>(point_x(ps, i)) |
                            static_cast<uint64_t>(static_cast<uint32_t>(point_y(ps, i))) << 32;
        h = mix64(h ^ xy) + 0x9E3779B97F4A7C15ull;
    }
    return mix64(h ^ static_cast<uint64_t>(n));
}

// A fixed permutation of n points that spreads neighbours apart, over an odd
// count (the last point is dropped when n is even).  The fit samples indices
// from a congruential sequence modulo n; with n even successive indices
// alternate in parity, so a run's start and end could never be drawn
// together with some others.
inline void mixing_order(int64_t n, std::vector<int32_t> &out) {
    const int64_t m = n % 2 == 0 && n > 0 ? n - 1 : n;
    out.resize(static_cast<size_t>(m));
    for (int64_t i = 0; i < m; ++i)
        out[static_cast<size_t>(i)] =
            static_cast<int32_t>(m % 7919 ? (i * 7919 + m / 3) % m : i);
}

}  // namespace orbisect::detect
