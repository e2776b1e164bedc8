// The result corpus: seeded inputs run through every kernel, the results of
// each kernel hashed into one digest.  The digests taken on x86-64 are kept
// in tests/corpus/corpus.hashes, and every build on every level and
// architecture must reproduce them bit for bit.
//
// A kernel joins with one case in any .cpp file of this folder:
//
//   CORPUS_CASE(my_kernel) {
//       for (const corpus::frame &f : corpus::frames()) d.add(my_kernel(f.view()));
//   }
//
// `d` is the case's digest (the corpus program links the kernel library;
// code in another library is linked to the `corpus` target in
// CMakeLists.txt).  The case must draw its inputs only from the
// shared frames and point sets below or from its own corpus::generator, so
// that they are the same on every machine.  Never draw two values in the
// arguments of one call (f(g.next(), g.next())): the order in which a call's
// arguments are evaluated is not fixed, and GCC takes them in another order
// on aarch64 than on x86-64.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/array_view.hpp"

namespace corpus {

// splitmix64: the corpus's own generator, the same sequence everywhere.
class generator {
  public:
    explicit generator(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // lo .. hi inclusive (hi - lo below 2^32).
    int32_t between(int32_t lo, int32_t hi) {
        const uint64_t span = static_cast<uint64_t>(int64_t{hi} - lo) + 1;
        return static_cast<int32_t>(lo + static_cast<int64_t>(next() % span));
    }
    int32_t any_int32() { return static_cast<int32_t>(static_cast<uint32_t>(next())); }

  private:
    uint64_t state_;
};

// FNV-1a over the little-endian bytes of everything added.
class digest {
  public:
    void bytes(const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i < n; ++i) hash_ = (hash_ ^ b[i]) * 0x100000001B3ull;
    }
    void add(uint64_t v) {
        uint8_t b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
        bytes(b, 8);
    }
    void add(int64_t v) { add(static_cast<uint64_t>(v)); }
    void add(int32_t v) { add(static_cast<uint64_t>(static_cast<uint32_t>(v))); }
    void add(uint32_t v) { add(static_cast<uint64_t>(v)); }
    void add(bool v) { add(static_cast<uint64_t>(v)); }
    // A double by its bits: -0.0 and 0.0 differ, as do NaNs of other payloads.
    void add(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        add(bits);
    }
    uint64_t value() const { return hash_; }

  private:
    uint64_t hash_ = 0xCBF29CE484222325ull;
};

// An RGB frame, packed.
struct frame {
    int64_t h, w;
    std::vector<uint8_t> rgb;
    orbisect::image_view view() const;
};

// Generated field scenes (turf with noise, a ball, painted lines, clutter)
// of several sizes, odd ones included.
const std::vector<frame> &frames();

// A point set as the kernels take it (N x 2 int32).
struct point_set {
    std::vector<int32_t> xy;
    int32_t size() const { return static_cast<int32_t>(xy.size() / 2); }
    orbisect::points_view view() const;
};

// Point sets for the fits: noisy circles, ellipses, lines and line pairs
// among outliers, and the edge points of the frames.
const std::vector<point_set> &point_sets();

struct case_entry {
    const char *name;
    void (*run)(digest &);
};
std::vector<case_entry> &cases();
struct registrar {
    registrar(const char *name, void (*run)(digest &)) { cases().push_back({name, run}); }
};

}  // namespace corpus

#define CORPUS_CASE(name)                                                  \
    static void corpus_case_##name(::corpus::digest &d);                   \
    static ::corpus::registrar corpus_registrar_##name(#name, &corpus_case_##name); \
    static void corpus_case_##name([[maybe_unused]] ::corpus::digest &d)
