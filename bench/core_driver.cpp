// Runs the detection core's line search on generated field frames, for the
// per-function instruction counts of arm_core_profile.py (which builds it
// for aarch64 and runs it under qemu at each level).
//
//   core_driver FRAMES HEIGHT WIDTH
//
// FRAMES frames of HEIGHT x WIDTH, each with its own stripes, ball and
// noise, through one core with the detector's default settings and a seed.
// Integer arithmetic only, so that every machine sees the same frames.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "default_core.hpp"
#include "detect/core.hpp"

using namespace orbisect;

namespace {

struct generator {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int64_t between(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(next() % static_cast<uint64_t>(hi - lo + 1)); }
};

uint8_t clamp_byte(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Turf with noise, four stripes across the frame (widths 4 to 14 px), an
// orange ball.
std::vector<uint8_t> field_frame(int64_t h, int64_t w, uint64_t seed) {
    generator g{seed};
    std::vector<uint8_t> rgb(static_cast<size_t>(3 * h * w));
    struct stripe { int64_t a, b, c, width; };
    std::vector<stripe> stripes;
    for (int k = 0; k < 4; ++k) {
        stripe s{g.between(-12, 12), g.between(-12, 12) | 1, 0, g.between(4, 14)};
        const int64_t px = g.between(0, w - 1), py = g.between(0, h - 1);
        s.c = -(s.a * px + s.b * py);
        stripes.push_back(s);
    }
    const int64_t bx = g.between(0, w - 1), by = g.between(0, h - 1), br = g.between(8, 40);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            int64_t c[3] = {40 + g.between(-10, 10), 135 + g.between(-12, 12), 48 + g.between(-10, 10)};
            for (const stripe &s : stripes) {
                const int64_t v = s.a * x + s.b * y + s.c;
                if (4 * v * v <= s.width * s.width * (s.a * s.a + s.b * s.b))
                    for (int64_t &ch : c) ch = 230 + g.between(-8, 8);
            }
            if ((x - bx) * (x - bx) + (y - by) * (y - by) < br * br) c[0] = 240, c[1] = 125, c[2] = 30;
            for (int k = 0; k < 3; ++k) rgb[static_cast<size_t>(3 * (y * w + x) + k)] = clamp_byte(c[k]);
        }
    return rgb;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: core_driver FRAMES HEIGHT WIDTH\n");
        return 2;
    }
    const int frames = std::atoi(argv[1]);
    const int64_t h = std::atoll(argv[2]), w = std::atoll(argv[3]);
    detect::core_settings s = corpus::default_settings();
    s.seed = 1;
    detect::detection_core core(s);
    detect::frame_lines out;
    size_t lines = 0;
    for (int f = 0; f < frames; ++f) {
        const std::vector<uint8_t> rgb = field_frame(h, w, 100 + static_cast<uint64_t>(f));
        image_view v;
        v.data = const_cast<uint8_t *>(rgb.data());
        v.shape[0] = h, v.shape[1] = w, v.shape[2] = 3;
        v.strides[0] = 3 * w, v.strides[1] = 3, v.strides[2] = 1;
        core.find_lines(v, false, out);
        lines += out.lines.size();
    }
    std::printf("%zu lines\n", lines);
    return 0;
}
