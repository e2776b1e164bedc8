// The scan-line kernels: the column loops of every supported level against
// a pixel-by-pixel scan, over windows that take the vector loops and windows
// that do not, over layouts (strided, reversed, overlapping, zero strides,
// regions), over column counts beyond the width, over capacities, and over
// columns taller than the column scratch.  Every view lies in a buffer of
// exactly its extent, so that the sanitizer build sees any read outside it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "colour/window.hpp"
#include "edges/scan.hpp"
#include "edges/simple_edge.hpp"
#include "edges/simple_edge_hsv.hpp"
#include "harness.hpp"

using namespace orbisect;

namespace {

using point = std::pair<int32_t, int32_t>;

uint32_t reversed_bits(uint32_t k) {
    uint32_t r = 0;
    for (int b = 0; b < 16; ++b) r |= ((k >> b) & 1u) << (15 - b);
    return r;
}

// The scan as a list: every line walked pixel by pixel, starts and ends of
// runs of set pixels, the last pixel closing a run that reaches it.
template <class Set>
std::vector<point> reference_scan(int64_t h, int64_t w, int32_t rows, int32_t columns, Set set) {
    std::vector<point> out;
    for (int32_t k = 0; k < rows && h > 0 && w > 0; ++k) {
        const auto y = static_cast<int32_t>((uint64_t{reversed_bits(k)} * h) >> 16);
        bool in = false;
        for (int32_t x = 0; x < w; ++x)
            if (set(y, x) != in) in = !in, out.push_back({x, y});
        if (in) out.push_back({static_cast<int32_t>(w - 1), y});
    }
    for (int32_t k = 0; k < columns && h > 0 && w > 0; ++k) {
        const auto x = static_cast<int32_t>((uint64_t{reversed_bits(k)} * w) >> 16);
        bool in = false;
        for (int32_t y = 0; y < h; ++y)
            if (set(y, x) != in) in = !in, out.push_back({x, y});
        if (in) out.push_back({x, static_cast<int32_t>(h - 1)});
    }
    return out;
}

// A view over a buffer that holds exactly the bytes between its lowest and
// highest element.
template <class View>
struct placed {
    std::unique_ptr<uint8_t[]> bytes;
    View view;
};

template <class View, int D>
placed<View> place(const int64_t (&shape)[D], const int64_t (&strides)[D], std::mt19937 &rng, int palette) {
    int64_t lo = 0, hi = 0;
    for (int a = 0; a < D; ++a) (strides[a] < 0 ? lo : hi) += strides[a] * (shape[a] - 1);
    placed<View> p{std::unique_ptr<uint8_t[]>(new uint8_t[hi - lo + 1]), {}};
    // Runs of a few values, so that windows and masks see long runs too.
    for (int64_t i = 0; i <= hi - lo;) {
        const auto v = static_cast<uint8_t>(rng() % palette * (255 / (palette - 1)));
        for (int64_t n = rng() % 40 + 1; n > 0 && i <= hi - lo; --n) p.bytes[i++] = v;
    }
    p.view.data = p.bytes.get() - lo;
    for (int a = 0; a < D; ++a) p.view.shape[a] = shape[a], p.view.strides[a] = strides[a];
    return p;
}

std::string describe(const char *what, isa_level level, int64_t h, int64_t w, int64_t step, int32_t columns) {
    return std::string(what) + " differs from the pixel scan at " + level_name(level) + ", " +
           std::to_string(h) + " x " + std::to_string(w) + ", column step " + std::to_string(step) + ", " +
           std::to_string(columns) + " columns";
}

// Runs the scan for every capacity that matters and compares with the list.
template <class Scan>
bool same_points(const std::vector<point> &want, Scan scan) {
    const auto n = static_cast<int64_t>(want.size());
    for (int64_t capacity : {n + 3, n, n - 1, n / 2, int64_t{1}, int64_t{0}}) {
        if (capacity < 0) continue;
        std::vector<int32_t> out(static_cast<size_t>(2 * capacity + 2), -7);
        points_view ps{out.data(), {capacity, 2}, {8, 4}};
        const int32_t got = scan(ps);
        if (got != (capacity < n ? capacity : n)) return false;
        for (int32_t i = 0; i < got; ++i)
            if (out[2 * i] != want[i].first || out[2 * i + 1] != want[i].second) return false;
        if (out[2 * capacity] != -7) return false;
    }
    return true;
}

lch_bounds typical_window(std::mt19937 &rng) {
    lch_bounds b;
    for (int32_t &m : b.M) m = static_cast<int32_t>(rng() % 1201) - 600;
    b.i[0] = static_cast<int32_t>(rng() % 160000) - 100000;
    b.i[1] = b.i[0] + static_cast<int32_t>(rng() % 120000);
    b.c[0] = static_cast<int32_t>(rng() % 350000) - 200000;
    b.c[1] = b.c[0] + static_cast<int32_t>(rng() % 300000);
    return b;
}

// Entries beyond 16 bits: the level loops refuse the window.
lch_bounds wide_window(std::mt19937 &rng) {
    lch_bounds b = typical_window(rng);
    for (int32_t &m : b.M) m *= 1000;
    b.i[0] *= 1000, b.i[1] *= 1000, b.c[0] *= 1000, b.c[1] *= 1000;
    return b;
}

// Entries anywhere in 32 bits, so that h0, h1, t and their sum wrap: the
// loops that take every window must wrap exactly like the scalar test.
lch_bounds wrapping_window(std::mt19937 &rng) {
    lch_bounds b;
    for (int32_t &m : b.M) m = static_cast<int32_t>(rng());
    b.i[0] = static_cast<int32_t>(rng()), b.i[1] = INT32_MAX;
    b.c[0] = INT32_MIN, b.c[1] = static_cast<int32_t>(rng());
    return b;
}

struct layout {
    int64_t h, w, row_step, column_step;
};

const layout layouts[] = {
    {37, 29, 87, 3},     {64, 50, 150, 3},    {33, 40, -120, 3},  {45, 31, 93, -3},   {30, 24, 144, 6},
    {41, 26, -160, -6},  {32, 17, 0, 3},      {35, 19, 57, 0},    {29, 1, 3, 3},      {70, 2, 6, 3},
    {40, 23, 3, 3},      {36, 22, 2, 1},      {31, 9, 40, 2},     {100, 300, 900, 3}, {66, 5, 15, 3},
};

}  // namespace

NATIVE_TEST(edges_column_loops_match_pixel_scan) {
    std::mt19937 rng(7);
    for (const layout &l : layouts) {
        const int64_t shape[3] = {l.h, l.w, 3}, strides[3] = {l.row_step, l.column_step, 1};
        auto image = place<image_view>(shape, strides, rng, 3);
        // The mask: one byte where the image has three (its rows are read
        // in place, so their pixels are adjacent).
        const int64_t mshape[2] = {l.h, l.w}, mstrides[2] = {l.row_step / 3, 1};
        auto mask = place<mask_view>(mshape, mstrides, rng, 2);
        for (int round = 0; round < 5; ++round) {
            const lch_bounds b = round == 4 ? wrapping_window(rng) : round % 2 ? wide_window(rng) : typical_window(rng);
            for (int32_t columns : {1, 7, 16, 33, static_cast<int32_t>(l.w) + 5, 600}) {
                const int32_t rows = round == 0 ? 3 : 0;
                const auto inside = [&](int64_t y, int64_t x) {
                    const uint8_t *p = image.view.at(y, x);
                    return window_inside(b, p[0], p[1], p[2]);
                };
                const auto set = [&](int64_t y, int64_t x) { return *mask.view.at(y, x) != 0; };
                const auto want = reference_scan(l.h, l.w, rows, columns, inside);
                const auto want_mask = reference_scan(l.h, l.w, rows, columns, set);
                for (int lv = 0; lv < isa_level_count; ++lv) {
                    const auto level = static_cast<isa_level>(lv);
                    if (!level_supported(level)) continue;
                    const edges::scan_kernels &k = edges::level_scan_kernels(level);
                    CHECK_MSG(same_points(want, [&](const points_view &ps) {
                                  return simple_edge_hsv(k, image.view, ps, b, rows, columns);
                              }),
                              describe("colour scan", level, l.h, l.w, l.column_step, columns));
                    CHECK_MSG(same_points(want_mask, [&](const points_view &ps) {
                                  return simple_edge(k, mask.view, ps, rows, columns);
                              }),
                              describe("mask scan", level, l.h, l.w, mask.view.strides[1], columns));
                }
            }
        }
    }
}

NATIVE_TEST(edges_columns_taller_than_the_scratch) {
    // Rows that overlap (row y is pixels y .. y+w-1 of one long line), so
    // that columns of 600 000 rows, read in pieces, cost little memory; and
    // 5000 rows, where a group holds fewer columns than are asked for.
    std::mt19937 rng(11);
    for (const int64_t h : {int64_t{600000}, int64_t{5000}}) {
        const int64_t w = 300, shape[3] = {h, w, 3}, strides[3] = {3, 3, 1};
        auto image = place<image_view>(shape, strides, rng, 3);
        const int64_t mshape[2] = {h, w}, mstrides[2] = {1, 1};
        auto mask = place<mask_view>(mshape, mstrides, rng, 2);
        const lch_bounds b = typical_window(rng);
        const int32_t columns = h > 100000 ? 3 : 250;
        const auto want = reference_scan(h, w, 0, columns, [&](int64_t y, int64_t x) {
            const uint8_t *p = image.view.at(y, x);
            return window_inside(b, p[0], p[1], p[2]);
        });
        const auto want_mask =
            reference_scan(h, w, 0, columns, [&](int64_t y, int64_t x) { return *mask.view.at(y, x) != 0; });
        for (int lv = 0; lv < isa_level_count; ++lv) {
            const auto level = static_cast<isa_level>(lv);
            if (!level_supported(level)) continue;
            const edges::scan_kernels &k = edges::level_scan_kernels(level);
            CHECK_MSG(same_points(want, [&](const points_view &ps) {
                          return simple_edge_hsv(k, image.view, ps, b, 0, columns);
                      }),
                      describe("colour scan", level, h, w, 3, columns));
            CHECK_MSG(same_points(want_mask, [&](const points_view &ps) {
                          return simple_edge(k, mask.view, ps, 0, columns);
                      }),
                      describe("mask scan", level, h, w, 1, columns));
        }
    }
}

NATIVE_TEST(edges_column_windows_stay_inside_the_row) {
    // Every window starts at its pixel or ends at the row's last byte, and
    // lies between the row's lowest and highest byte.
    for (int pixel_bytes : {1, 3})
        for (int64_t step : {-7, -3, -2, -1, 0, 1, 2, 3, 4, 9})
            for (int64_t width : {1, 2, 3, 4, 5, 17}) {
                int64_t xs[edges::max_column_group];
                int32_t offset[edges::max_column_group];
                uint8_t first[edges::max_column_group];
                for (int j = 0; j < width; ++j) xs[j] = j;
                const int64_t span = (step < 0 ? -step : step) * (width - 1) + pixel_bytes;
                const bool ok = edges::column_windows(xs, static_cast<int>(width), width, step, pixel_bytes,
                                                      offset, first);
                CHECK_MSG(ok == (span >= 4), "windows wherever the row spans four bytes");
                if (!ok) continue;
                const int64_t lo = step < 0 ? step * (width - 1) : 0, hi = lo + span - 1;
                for (int j = 0; j < width; ++j) {
                    CHECK(offset[j] + first[j] == xs[j] * step);
                    CHECK(first[j] + pixel_bytes <= 4);
                    CHECK(offset[j] >= lo && offset[j] + 3 <= hi);
                }
                for (int j = static_cast<int>(width); j % edges::column_lanes != 0; ++j)
                    CHECK(offset[j] == offset[width - 1] && first[j] == first[width - 1]);
            }
}

// The union scan and the two-sided scan of the detection core: each side's
// points are those of the pixel-by-pixel scan of its union, for frames of
// random runs of four colours (wide, tall, strided), whatever the capacity.
NATIVE_TEST(union_and_paired_scans_give_each_sides_own_points) {
    std::mt19937 rng(61);
    const lch_bounds green = {{2621, 52429}, {13581, 97006}, {45, 197, -241, -248, 182, 67, 85, 85, 85}};
    const lch_bounds dark = {{2621, 19661}, {3880, 97006}, {45, 197, -241, -248, 182, 67, 85, 85, 85}};
    const lch_bounds orange = {{1966, 62259}, {6726, 80712}, {343, -581, 238, -101, 549, -447, 85, 85, 85}};
    const uint8_t colours[4][3] = {{40, 140, 50}, {22, 40, 24}, {235, 115, 25}, {230, 230, 230}};
    const lch_bounds a[2] = {green, dark};
    for (int trial = 0; trial < 24; ++trial) {
        const int64_t h = std::uniform_int_distribution<int64_t>(1, trial % 6 == 5 ? 3000 : 300)(rng);
        const int64_t w = std::uniform_int_distribution<int64_t>(1, trial % 6 == 4 ? 3000 : 300)(rng);
        const int64_t gap = trial % 3 == 2 ? 2 : 1;  // every other pixel of a wider buffer
        std::vector<uint8_t> px(static_cast<size_t>(h * w * gap * 3));
        std::uniform_int_distribution<int> colour(0, 3), run(1, 12);
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w;) {
                const int c = colour(rng);
                for (int64_t n = run(rng); n > 0 && x < w; --n, ++x)
                    std::memcpy(&px[static_cast<size_t>((y * w + x) * gap * 3)], colours[c], 3);
            }
        image_view v;
        v.data = px.data();
        v.shape[0] = h, v.shape[1] = w, v.shape[2] = 3;
        v.strides[0] = w * gap * 3, v.strides[1] = gap * 3, v.strides[2] = 1;
        const int32_t rows = std::uniform_int_distribution<int32_t>(1, 80)(rng);
        const int32_t cols = std::uniform_int_distribution<int32_t>(1, 80)(rng);
        auto in = [&](const lch_bounds &b, int64_t y, int64_t x) {
            const uint8_t *p = v.at(y, x);
            return window_inside(b, p[0], p[1], p[2]);
        };
        const std::vector<point> want_a = reference_scan(h, w, rows, cols, [&](int64_t y, int64_t x) {
            return in(green, y, x) || in(dark, y, x);
        });
        const std::vector<point> want_b =
            reference_scan(h, w, rows, cols, [&](int64_t y, int64_t x) { return in(orange, y, x); });
        for (int64_t cap : {int64_t{1} << 20, static_cast<int64_t>(want_a.size() / 2 + 1), int64_t{3}}) {
            std::vector<int32_t> buf_a(static_cast<size_t>(2 * cap)), buf_b(static_cast<size_t>(2 * cap)), buf_u(static_cast<size_t>(2 * cap));
            auto view = [&](std::vector<int32_t> &b) {
                points_view p;
                p.data = b.data();
                p.shape[0] = cap, p.shape[1] = 2, p.strides[0] = 8, p.strides[1] = 4;
                return p;
            };
            const pair_count n = simple_edge_pair(v, view(buf_a), a, 2, view(buf_b), &orange, 1, rows, cols);
            const int32_t nu = simple_edge_union(v, view(buf_u), a, 2, rows, cols);
            auto same = [&](const std::vector<int32_t> &got, int32_t count, const std::vector<point> &want) {
                if (count != static_cast<int32_t>(std::min<int64_t>(cap, static_cast<int64_t>(want.size())))) return false;
                for (int32_t i = 0; i < count; ++i)
                    if (got[2 * static_cast<size_t>(i)] != want[static_cast<size_t>(i)].first ||
                        got[2 * static_cast<size_t>(i) + 1] != want[static_cast<size_t>(i)].second)
                        return false;
                return true;
            };
            CHECK_MSG(same(buf_a, n.a, want_a), "paired scan, first side, trial " + std::to_string(trial));
            CHECK_MSG(same(buf_b, n.b, want_b), "paired scan, second side, trial " + std::to_string(trial));
            CHECK_MSG(same(buf_u, nu, want_a), "union scan, trial " + std::to_string(trial));
        }
    }
}

// Read every k-th pixel, the paired scan finds every run and gap of k pixels
// or more where the full scan does: frames of blocks at least k pixels a side.
NATIVE_TEST(the_sampled_paired_scan_finds_runs_of_its_step_exactly) {
    std::mt19937 rng(62);
    const lch_bounds green = {{2621, 52429}, {13581, 97006}, {45, 197, -241, -248, 182, 67, 85, 85, 85}};
    const lch_bounds orange = {{1966, 62259}, {6726, 80712}, {343, -581, 238, -101, 549, -447, 85, 85, 85}};
    const uint8_t colours[3][3] = {{40, 140, 50}, {235, 115, 25}, {230, 230, 230}};
    for (int trial = 0; trial < 20; ++trial) {
        const int64_t every = std::uniform_int_distribution<int64_t>(2, 7)(rng);
        const int64_t block = every + std::uniform_int_distribution<int64_t>(0, 6)(rng);
        const int64_t h = std::uniform_int_distribution<int64_t>(1, 400)(rng);
        const int64_t w = std::uniform_int_distribution<int64_t>(1, 400)(rng);
        const int64_t ox = rng() % block, oy = rng() % block;
        std::vector<int> cell(static_cast<size_t>((h / block + 2) * (w / block + 2)));
        for (int &c : cell) c = static_cast<int>(rng() % 3);
        std::vector<uint8_t> px(static_cast<size_t>(h * w * 3));
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x)
                std::memcpy(&px[static_cast<size_t>((y * w + x) * 3)],
                            colours[cell[static_cast<size_t>((y + oy) / block * (w / block + 2) + (x + ox) / block)]], 3);
        image_view v;
        v.data = px.data();
        v.shape[0] = h, v.shape[1] = w, v.shape[2] = 3;
        v.strides[0] = w * 3, v.strides[1] = 3, v.strides[2] = 1;
        auto in = [&](const lch_bounds &b, int64_t y, int64_t x) {
            const uint8_t *p = v.at(y, x);
            return window_inside(b, p[0], p[1], p[2]);
        };
        const int32_t rows = std::uniform_int_distribution<int32_t>(1, 60)(rng), cols = rows + 5;
        const auto want_a = reference_scan(h, w, rows, cols, [&](int64_t y, int64_t x) { return in(green, y, x); });
        const auto want_b = reference_scan(h, w, rows, cols, [&](int64_t y, int64_t x) { return in(orange, y, x); });
        std::vector<int32_t> buf_a(1 << 18), buf_b(1 << 18);
        auto view = [&](std::vector<int32_t> &b) {
            points_view p;
            p.data = b.data();
            p.shape[0] = static_cast<int64_t>(b.size() / 2), p.shape[1] = 2, p.strides[0] = 8, p.strides[1] = 4;
            return p;
        };
        const pair_count n = simple_edge_pair(v, view(buf_a), &green, 1, view(buf_b), &orange, 1, rows, cols, every);
        auto same = [&](const std::vector<int32_t> &got, int32_t count, const std::vector<point> &want) {
            if (count != static_cast<int32_t>(want.size())) return false;
            for (int32_t i = 0; i < count; ++i)
                if (got[2 * static_cast<size_t>(i)] != want[static_cast<size_t>(i)].first ||
                    got[2 * static_cast<size_t>(i) + 1] != want[static_cast<size_t>(i)].second)
                    return false;
            return true;
        };
        CHECK_MSG(same(buf_a, n.a, want_a) && same(buf_b, n.b, want_b), "trial " + std::to_string(trial));
    }
}
