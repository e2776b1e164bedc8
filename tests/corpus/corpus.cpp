// The corpus program: generates the seeded inputs, runs every case and
// prints one line "<case> <digest>" per case; with --check FILE it compares
// with the stored digests and fails on any difference, with --levels it
// names the levels this machine can run (ORBISECT_MAX_LEVEL selects one).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "core/levels.hpp"
#include "corpus.hpp"

namespace corpus {

std::vector<case_entry> &cases() {
    static std::vector<case_entry> all;
    return all;
}

orbisect::image_view frame::view() const {
    orbisect::image_view v;
    v.data = const_cast<uint8_t *>(rgb.data());
    v.shape[0] = h, v.shape[1] = w, v.shape[2] = 3;
    v.strides[0] = 3 * w, v.strides[1] = 3, v.strides[2] = 1;
    return v;
}

orbisect::points_view point_set::view() const {
    orbisect::points_view v;
    v.data = const_cast<int32_t *>(xy.data());
    v.shape[0] = size(), v.shape[1] = 2;
    v.strides[0] = 8, v.strides[1] = 4;
    return v;
}

namespace {

uint8_t clamp_byte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// A field scene in integer arithmetic only: turf with noise and mowing
// stripes, clutter boxes, painted lines (bands |a x + b y + c| <= width *
// |(a, b)|), a shaded ball and a dark leg in front of it.
frame scene(int64_t h, int64_t w, uint64_t seed) {
    generator g(seed);
    frame f{h, w, std::vector<uint8_t>(static_cast<size_t>(3 * h * w))};
    struct box { int32_t x0, y0, x1, y1; uint8_t c[3]; };
    struct band { int64_t a, b, c, width; };
    std::vector<box> boxes;
    for (int k = 0; k < 3; ++k) {
        const int32_t x0 = g.between(0, static_cast<int32_t>(w)), y0 = g.between(0, static_cast<int32_t>(h));
        boxes.push_back({x0, y0, x0 + g.between(2, 30), y0 + g.between(2, 30),
                         {static_cast<uint8_t>(g.between(0, 255)), static_cast<uint8_t>(g.between(0, 255)),
                          static_cast<uint8_t>(g.between(0, 255))}});
    }
    std::vector<band> bands;
    for (int k = 0; k < 3; ++k) {
        const int64_t a = g.between(-9, 9), b = g.between(-9, 9) | 1;
        const int64_t px = g.between(0, static_cast<int32_t>(w)), py = g.between(0, static_cast<int32_t>(h));
        bands.push_back({a, b, -(a * px + b * py), g.between(1, 5)});
    }
    const int64_t bx = g.between(0, static_cast<int32_t>(w)), by = g.between(0, static_cast<int32_t>(h));
    const int64_t br = g.between(4, 40);
    const int64_t leg_x = bx + g.between(-10, 10);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const int32_t stripe = (x / 23) % 2 ? 12 : 0;
            int32_t c[3] = {40 + g.between(-12, 12), 130 + stripe + g.between(-15, 15), 45 + g.between(-12, 12)};
            for (const box &b : boxes)
                if (x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1)
                    for (int k = 0; k < 3; ++k) c[k] = b.c[k];
            for (const band &l : bands) {
                const int64_t v = l.a * x + l.b * y + l.c;
                if (v * v <= l.width * l.width * (l.a * l.a + l.b * l.b))
                    for (int k = 0; k < 3; ++k) c[k] = 225 + g.between(-20, 20);
            }
            const int64_t dx = x - bx, dy = y - by;
            if (dx * dx + dy * dy < br * br) {
                const int32_t shade = static_cast<int32_t>(dy * 60 / br);
                c[0] = 235 - shade + g.between(-8, 8), c[1] = 120 - shade + g.between(-8, 8), c[2] = 25;
            }
            if (x >= leg_x && x < leg_x + 5 && y > by) c[0] = c[1] = c[2] = 20;
            for (int k = 0; k < 3; ++k) f.rgb[static_cast<size_t>(3 * (y * w + x) + k)] = clamp_byte(c[k]);
        }
    return f;
}

void put(point_set &s, int64_t x, int64_t y) {
    s.xy.push_back(static_cast<int32_t>(x));
    s.xy.push_back(static_cast<int32_t>(y));
}

// Shapes by square roots and rational rotations only (each correctly
// rounded everywhere), with integer noise and outliers.
point_set shape_points(generator &g, int kind, int n) {
    point_set s;
    const int32_t cx = g.between(-300, 600), cy = g.between(-300, 600);
    const int32_t a = g.between(8, 120), b = g.between(8, 120);
    const int64_t dx = g.between(-40, 40), dy = g.between(1, 40), gap = g.between(4, 30);
    for (int i = 0; i < n; ++i) {
        const int noise = g.between(-2, 2), pick = g.between(0, 9);
        if (pick >= 7) {  // outliers (x drawn first: arguments have no order)
            const int32_t x = g.between(-400, 900);
            put(s, x, g.between(-400, 900));
            continue;
        }
        const double u = g.between(-1000, 1000) / 1000.0, side = g.between(0, 1) ? 1.0 : -1.0;
        switch (kind) {
        case 0: {  // circle of radius a
            const double x = a * u, y = side * std::sqrt(static_cast<double>(a) * a - x * x);
            put(s, cx + std::lround(x) + noise, cy + std::lround(y));
            break;
        }
        case 1: {  // ellipse a x b turned by the angle whose cosine is 3/5
            const double x = a * u, y = side * b * std::sqrt(1.0 - u * u);
            put(s, cx + std::lround((3.0 * x - 4.0 * y) / 5.0) + noise, cy + std::lround((4.0 * x + 3.0 * y) / 5.0));
            break;
        }
        default: {  // a line, or two parallel ones (kind 3), along (dx, dy)
            const int64_t t = g.between(-20, 20), off = kind == 3 && side > 0 ? gap : 0;
            put(s, cx + t * dx + noise + off, cy + t * dy);
            break;
        }
        }
    }
    return s;
}

}  // namespace

const std::vector<frame> &frames() {
    static const std::vector<frame> all = [] {
        std::vector<frame> v;
        const int64_t sizes[][2] = {{120, 160}, {97, 131}, {240, 320}, {37, 641}, {1, 50}, {50, 1}, {33, 3}};
        uint64_t seed = 1000;
        for (const auto &s : sizes) v.push_back(scene(s[0], s[1], seed++));
        return v;
    }();
    return all;
}

const std::vector<point_set> &point_sets() {
    static const std::vector<point_set> all = [] {
        std::vector<point_set> v;
        generator g(2024);
        const int sizes[] = {3, 5, 9, 40, 131, 700, 5000};
        for (int kind = 0; kind < 4; ++kind)
            for (int n : sizes) v.push_back(shape_points(g, kind, n));
        // Coordinates beyond 16 bits, and some that make the tests wrap.
        point_set wide = shape_points(g, 2, 300);
        for (size_t i = 0; i < wide.xy.size(); i += 2) wide.xy[i] *= 300;
        v.push_back(wide);
        point_set wild;
        for (int i = 0; i < 200; ++i) {
            const int32_t x = g.any_int32();
            put(wild, x, g.any_int32());
        }
        v.push_back(wild);
        return v;
    }();
    return all;
}

}  // namespace corpus

namespace {

std::map<std::string, std::string> read_hashes(const char *path, bool &ok) {
    std::map<std::string, std::string> out;
    std::ifstream in(path);
    ok = static_cast<bool>(in);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, hash;
        if (fields >> name >> hash) out[name] = hash;
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace orbisect;
    if (argc == 2 && std::strcmp(argv[1], "--levels") == 0) {
        for (int l = 0; l < isa_level_count; ++l)
            if (level_supported(static_cast<isa_level>(l))) std::printf("%s\n", level_name(static_cast<isa_level>(l)));
        return 0;
    }
    const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (argc != 1 && !check) {
        std::fprintf(stderr, "usage: corpus [--check HASHES | --levels]\n");
        return 2;
    }
    // A level asked for and not in effect would check the wrong code.
    const char *wanted = std::getenv("ORBISECT_MAX_LEVEL");
    const char *level = level_name(best_level());
    if (wanted != nullptr && std::strcmp(wanted, level) != 0) {
        std::fprintf(stderr, "corpus: ORBISECT_MAX_LEVEL=%s is not a level of this machine (running %s)\n",
                     wanted, level);
        return 2;
    }
    bool read_ok = true;
    const auto stored = check ? read_hashes(argv[2], read_ok) : std::map<std::string, std::string>{};
    if (!read_ok) {
        std::fprintf(stderr, "corpus: cannot read %s\n", argv[2]);
        return 2;
    }
    int passed = 0, failed = 0;
    std::map<std::string, bool> seen;
    for (const corpus::case_entry &c : corpus::cases()) {
        corpus::digest d;
        c.run(d);
        char hash[17];
        std::snprintf(hash, sizeof hash, "%016" PRIx64, d.value());
        seen[c.name] = true;
        if (!check) {
            std::printf("%s %s\n", c.name, hash);
            continue;
        }
        const auto it = stored.find(c.name);
        if (it == stored.end()) {
            std::printf("FAIL %s at %s: no stored digest (got %s)\n", c.name, level, hash);
            ++failed;
        } else if (it->second != hash) {
            std::printf("FAIL %s at %s: digest %s, stored %s\n", c.name, level, hash, it->second.c_str());
            ++failed;
        } else {
            ++passed;
        }
    }
    if (!check) return 0;
    for (const auto &[name, hash] : stored)
        if (!seen.count(name)) {
            std::printf("FAIL %s: stored but no longer run\n", name.c_str());
            ++failed;
        }
    std::printf("corpus checked at %s\n", level);
    std::printf("corpus: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
