// Corpus cases of the detection core: seeded field frames (turf with noise
// and mowing stripes, white stripes with soft borders, some ending inside
// the frame, an orange ball, clutter, bands of deep shadow) through the core with a seed, as RGB
// and as BGR, under several settings, one core per setting for all frames
// (its scratch reused across frame sizes).  Every record of every result is
// hashed.
//
// Each stage of the core is a case of its own over the same runs, so that a
// digest names the stage that changed.  A stage joins with one line:
//
//   CORE_STAGE(core_lines, detect::frame_lines out; core.find_lines(frame, bgr, out); record(d, out))
//
// (`core`, `frame`, `bgr` and the case's digest `d` are in scope; fields()
// hashes any record's members in the order given).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "corpus.hpp"
#include "default_core.hpp"
#include "detect/core.hpp"

using namespace orbisect;

namespace {

uint8_t clamp_byte(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// A field frame in integer arithmetic only.  A stripe is the band
// |a x + b y + c| <= width / 2 |(a, b)| (between two limits along it, or
// across the whole frame); a border pixel within half a pixel outside of it
// is a half-and-half mix of paint and turf.  The paint is near-white with
// noise per channel (the paint windows' test), or an exact grey with one
// noise for all three (the grey test).
corpus::frame field_scene(int64_t h, int64_t w, uint64_t seed) {
    corpus::generator g(seed);
    corpus::frame f{h, w, std::vector<uint8_t>(static_cast<size_t>(3 * h * w))};
    struct stripe { int64_t a, b, c, width, t_lo, t_hi; bool grey; };
    std::vector<stripe> stripes;
    const int count = g.between(1, 4);
    for (int k = 0; k < count; ++k) {
        stripe s;
        s.a = g.between(-12, 12);
        s.b = g.between(-12, 12);
        if (s.a == 0 && s.b == 0) s.b = 1;
        const int64_t px = g.between(0, static_cast<int32_t>(w - 1));
        const int64_t py = g.between(0, static_cast<int32_t>(h - 1));
        s.c = -(s.a * px + s.b * py);
        s.width = g.between(3, 16);  // px
        // Along the stripe, t = -b x + a y, in units of |(a, b)|.
        const int64_t t0 = -s.b * px + s.a * py, n = std::max<int64_t>(std::abs(s.a), std::abs(s.b));
        const bool whole = g.between(0, 2) != 0;
        s.t_lo = whole ? INT64_MIN : t0 - n * g.between(10, 200);
        s.t_hi = whole ? INT64_MAX : t0 + n * g.between(10, 200);
        s.grey = g.between(0, 3) == 0;
        stripes.push_back(s);
    }
    const int64_t bx = g.between(0, static_cast<int32_t>(w - 1)), by = g.between(0, static_cast<int32_t>(h - 1));
    const int64_t br = g.between(5, 40);
    const int32_t box_x = g.between(0, static_cast<int32_t>(w - 1)), box_y = g.between(0, static_cast<int32_t>(h - 1));
    const int32_t box_w = g.between(3, 40), box_h = g.between(3, 60);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const int64_t mow = (x + y / 2) / 29 % 2 ? 10 : 0;
            int64_t c[3] = {40 + g.between(-10, 10), 135 + mow + g.between(-12, 12), 48 + g.between(-10, 10)};
            const int64_t turf[3] = {c[0], c[1], c[2]};
            for (const stripe &s : stripes) {
                const int64_t t = -s.b * x + s.a * y;
                if (t < s.t_lo || t > s.t_hi) continue;
                // (2 v)^2 against (width +- 1)^2 |(a, b)|^2: inside, on the
                // border, outside.
                const int64_t v = s.a * x + s.b * y + s.c, n2 = s.a * s.a + s.b * s.b;
                const int64_t v4 = 4 * v * v;
                if (v4 > (s.width + 1) * (s.width + 1) * n2) continue;
                const bool border = v4 > (s.width - 1) * (s.width - 1) * n2;
                const int64_t grey = 228 + g.between(-14, 14);
                for (int k = 0; k < 3; ++k) {
                    const int64_t paint = s.grey ? grey : 230 + g.between(-8, 8);
                    c[k] = border ? (paint + turf[k]) / 2 : paint;
                }
            }
            if (x >= box_x && x < box_x + box_w && y >= box_y && y < box_y + box_h)
                c[0] = 30 + g.between(-5, 5), c[1] = 40 + g.between(-5, 5), c[2] = 150 + g.between(-5, 5);
            const int64_t dx = x - bx, dy = y - by;
            if (dx * dx + dy * dy < br * br) {
                const int64_t shade = dy * 50 / br;
                c[0] = 240 - shade + g.between(-6, 6);
                c[1] = 125 - shade + g.between(-6, 6);
                c[2] = 30 + g.between(-6, 6);
            }
            // A diagonal band of deep shadow: darker and greyer, the turf
            // out of the field's window (the shade's), the paint still paint.
            if ((x + 2 * y) % 160 < 30) {
                const int64_t mean = (c[0] + c[1] + c[2]) / 3;
                for (int k = 0; k < 3; ++k) c[k] = (c[k] + mean) * 9 / 40;
            }
            for (int k = 0; k < 3; ++k) f.rgb[static_cast<size_t>(3 * (y * w + x) + k)] = clamp_byte(c[k]);
        }
    return f;
}

const std::vector<corpus::frame> &field_frames() {
    static const std::vector<corpus::frame> all = [] {
        std::vector<corpus::frame> v;
        const int64_t sizes[][2] = {{240, 320}, {480, 640}, {97, 131}, {360, 203}, {37, 641}, {2, 90}, {120, 160}};
        uint64_t seed = 7000;
        for (const auto &s : sizes)
            for (int k = 0; k < 2; ++k) v.push_back(field_scene(s[0], s[1], seed++));
        return v;
    }();
    return all;
}

// The frame with its channels reversed (BGR), packed.
corpus::frame as_bgr(const corpus::frame &f) {
    corpus::frame out = f;
    for (size_t i = 0; i < out.rgb.size(); i += 3) std::swap(out.rgb[i], out.rgb[i + 2]);
    return out;
}

// The settings of the runs: the defaults, a coarse and cheap search without
// the border refinement, and a dense, tolerant one.
std::vector<detect::core_settings> run_settings() {
    std::vector<detect::core_settings> v(3, corpus::default_settings());
    v[0].seed = 1;
    v[1].seed = 0x9E3779B97F4A7C15ull;
    v[1].rows = 24, v[1].columns = 32;
    v[1].lines.iterations = 60, v[1].lines.min_run = 1, v[1].lines.max_lines = 4, v[1].lines.refine = false;
    v[1].shaded = false;
    v[1].ball.iterations = 50, v[1].ball.refine = false, v[1].ball.max_balls = 3, v[1].ball.min_run = 1;
    v[2].seed = 77;
    v[2].rows = 97, v[2].columns = 131;
    v[2].lines.tolerance = 3.0, v[2].lines.min_support = 0.3;
    v[2].lines.min_width = 1.0, v[2].lines.max_width = 30.0, v[2].lines.min_points = 3;
    v[2].ball.min_r = 3.0, v[2].ball.max_r = 60.0, v[2].ball.tolerance = 2.5, v[2].ball.min_support = 0.4;
    v[2].ball.min_saturation = 0.0, v[2].ball.candidates = 8;
    return v;
}

// Every setting's core on every frame, as RGB and as BGR.
template <class Stage>
void core_runs(Stage stage) {
    for (const detect::core_settings &s : run_settings()) {
        detect::detection_core core(s);
        for (const corpus::frame &rgb : field_frames()) {
            stage(core, rgb.view(), false);
            const corpus::frame bgr = as_bgr(rgb);
            stage(core, bgr.view(), true);
        }
    }
}

void fields(corpus::digest &) {}
template <class T, class... Rest>
void fields(corpus::digest &d, const T &first, const Rest &...rest) {
    d.add(first);
    fields(d, rest...);
}

void record(corpus::digest &d, const detect::frame_lines &out) {
    d.add(out.key);
    d.add(static_cast<int64_t>(out.lines.size()));
    for (const detect::found_line &l : out.lines) fields(d, l.x0, l.y0, l.x1, l.y1, l.width, l.support);
}

// The balls, and every candidate scored with its verdict.
void record(corpus::digest &d, const detect::frame_detection &out) {
    d.add(static_cast<int64_t>(out.balls.size()));
    for (const detect::found_ball &b : out.balls) fields(d, b.x, b.y, b.r, b.support);
    d.add(static_cast<int64_t>(out.notes.size()));
    for (const detect::ball_note &n : out.notes)
        fields(d, n.ball.x, n.ball.y, n.ball.r, n.ball.support, static_cast<int32_t>(n.what));
}

}  // namespace

#define CORE_STAGE(name, ...)                                                                 \
    CORPUS_CASE(name) {                                                                      \
        core_runs([&](detect::detection_core &core, const image_view &frame, bool bgr) { __VA_ARGS__; }); \
    }

CORE_STAGE(core_lines, detect::frame_lines out; core.find_lines(frame, bgr, out); record(d, out))
CORE_STAGE(core_balls, detect::frame_detection out; core.detect(frame, bgr, true, out); record(d, out))
