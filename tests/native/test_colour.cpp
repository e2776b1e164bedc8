// The colour-window loops: every supported level against the plain loop, the
// worked window, strictness at each bound, and the whole-image drivers over
// regions, reversed views and strided outputs.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "colour/window.hpp"
#include "harness.hpp"

using namespace orbisect;

namespace {

// hue (-pi/6, pi/6), chroma (0.2, 1.0), intensity (0.1, 0.9), 8 bits.
lch_bounds example_window() {
    return lch_bounds{{6554, 58982}, {15135, 75674}, {148, -296, 148, 148, 148, -296, 85, 85, 85}};
}

struct window_kind {
    const char *name;
    lch_bounds (*make)(std::mt19937 &);
};

int32_t any_int32(std::mt19937 &rng) { return static_cast<int32_t>(rng()); }

int32_t in_range(std::mt19937 &rng, int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
}

// Products and sums wrap around 32 bits almost everywhere.
lch_bounds extreme_window(std::mt19937 &rng) {
    lch_bounds b;
    for (int32_t &m : b.M) m = any_int32(rng);
    for (int k = 0; k < 2; ++k) b.i[k] = any_int32(rng), b.c[k] = any_int32(rng);
    if (rng() & 1) b.i[0] = INT32_MIN, b.i[1] = INT32_MAX;
    if (rng() & 1) b.c[0] = INT32_MIN, b.c[1] = INT32_MAX;
    return b;
}

// Entries of the size a scaled window has, bounds spread over their range.
lch_bounds typical_window(std::mt19937 &rng) {
    lch_bounds b;
    for (int32_t &m : b.M) m = in_range(rng, -600, 600);
    b.i[0] = in_range(rng, -100000, 60000);
    b.i[1] = b.i[0] + in_range(rng, 0, 120000);
    b.c[0] = in_range(rng, -200000, 150000);
    b.c[1] = b.c[0] + in_range(rng, 0, 300000);
    return b;
}

// Bounds a step or two around the values of one pixel, so that the strict
// comparisons decide many pixels of a low-entropy image.
lch_bounds narrow_window(std::mt19937 &rng) {
    lch_bounds b;
    for (int32_t &m : b.M) m = in_range(rng, -4, 4);
    const int32_t r = in_range(rng, 0, 3), g = in_range(rng, 0, 3), bl = in_range(rng, 0, 3);
    const int32_t t = b.M[6] * r + b.M[7] * g + b.M[8] * bl;
    const int32_t s = (b.M[0] + b.M[3]) * r + (b.M[1] + b.M[4]) * g + (b.M[2] + b.M[5]) * bl;
    b.i[0] = t - in_range(rng, 0, 2);
    b.i[1] = t + in_range(rng, 0, 2);
    b.c[0] = s - in_range(rng, 0, 2);
    b.c[1] = s + in_range(rng, 0, 2);
    return b;
}

// Huge entries chosen so that M * p lands near the 32-bit edges.
lch_bounds edge_window(std::mt19937 &rng) {
    lch_bounds b;
    for (int32_t &m : b.M)
        m = wrap_add((rng() & 1 ? INT32_MAX : INT32_MIN) / in_range(rng, 1, 300), in_range(rng, -3, 3));
    b.i[0] = in_range(rng, -2, 2) + (rng() & 1 ? INT32_MIN / 2 : 0);
    b.i[1] = INT32_MAX - in_range(rng, 0, 2);
    b.c[0] = INT32_MIN + in_range(rng, 0, 2);
    b.c[1] = in_range(rng, -2, 2) + (rng() & 1 ? INT32_MAX / 2 : 0);
    return b;
}

// Entries at and near the 16-bit limits, where the multiply-add path of the
// vector levels ends, with bounds across the range such products reach.
lch_bounds int16_edge_window(std::mt19937 &rng) {
    const int32_t edges[] = {-32768, -32767, 32767, 32766, 32768, -32769};
    lch_bounds b;
    for (int32_t &m : b.M) m = rng() & 1 ? edges[rng() % 6] : in_range(rng, -32768, 32767);
    const int32_t reach = 3 * 32768 * 255;
    b.i[0] = in_range(rng, -reach, reach / 2);
    b.i[1] = b.i[0] + in_range(rng, 0, reach);
    b.c[0] = in_range(rng, -2 * reach, reach);
    b.c[1] = b.c[0] + in_range(rng, 0, 2 * reach);
    return b;
}

const window_kind window_kinds[] = {
    {"extreme", extreme_window},
    {"typical", typical_window},
    {"narrow", narrow_window},
    {"edge", edge_window},
    {"16-bit edge", int16_edge_window},
};

std::vector<uint8_t> random_pixels(std::mt19937 &rng, int64_t n, int max_value) {
    std::vector<uint8_t> v(static_cast<size_t>(3 * n));
    for (uint8_t &x : v) x = static_cast<uint8_t>(rng() % (max_value + 1));
    return v;
}

std::string describe(const char *what, isa_level level, const char *kind, int64_t n) {
    return std::string(what) + " differs from the plain loop at " + level_name(level) + ", " + kind +
           " window, n = " + std::to_string(n);
}

}  // namespace

NATIVE_TEST(colour_levels_match_plain_loop) {
    const int64_t lengths[] = {0, 1, 2, 3, 7, 15, 16, 17, 31, 33, 63, 64, 65, 127, 129, 255, 1000, 4099};
    for (int l = 0; l < isa_level_count; ++l) {
        const isa_level level = static_cast<isa_level>(l);
        if (!level_supported(level)) continue;
        const colour_kernels &k = colour_kernels_for(level);
        for (const window_kind &kind : window_kinds) {
            // Each kind draws from its own sequence, the same at every level.
            std::mt19937 rng(12345u + static_cast<unsigned>(&kind - window_kinds));
            int64_t ones = 0, total = 0;
            for (int trial = 0; trial < 60; ++trial) {
                const lch_bounds b = kind.make(rng);
                const int64_t n = lengths[trial % (sizeof lengths / sizeof lengths[0])];
                const int max_value = kind.make == narrow_window ? 3 : 255;
                const std::vector<uint8_t> rgb = random_pixels(rng, n, max_value);
                // Guard bytes after the output catch a loop that runs long.
                std::vector<uint8_t> want(n + 64, 0xA5), got(n + 64, 0xA5);
                classify_pixels_plain(rgb.data(), n, b, want.data());
                k.classify(rgb.data(), n, b, got.data());
                CHECK_MSG(want == got, describe("mask", level, kind.name, n));
                for (int64_t p = 0; p < n; ++p) ones += want[p];
                total += n;
                std::fill(want.begin(), want.end(), 0x5A);
                std::fill(got.begin(), got.end(), 0x5A);
                grey_pixels_plain(rgb.data(), n, b, want.data());
                k.grey(rgb.data(), n, b, got.data());
                CHECK_MSG(want == got, describe("grey", level, kind.name, n));
            }
            // Both outcomes must occur, or the comparison proves little.
            CHECK_MSG(ones > 0 && ones < total, std::string(kind.name) + " windows decide every pixel alike");
        }
    }
}

// Two windows at once: of one matrix (the fused path) or of two, against
// the plain loop at every level, over every kind of window.
NATIVE_TEST(colour_either_of_two_windows_matches_plain_loop) {
    const int64_t lengths[] = {0, 1, 5, 16, 17, 33, 64, 65, 255, 1000};
    for (int l = 0; l < isa_level_count; ++l) {
        const isa_level level = static_cast<isa_level>(l);
        if (!level_supported(level)) continue;
        const colour_kernels &k = colour_kernels_for(level);
        for (const window_kind &kind : window_kinds) {
            std::mt19937 rng(777u + static_cast<unsigned>(&kind - window_kinds));
            int64_t only_a = 0, only_b = 0;
            for (int trial = 0; trial < 40; ++trial) {
                const lch_bounds a = kind.make(rng);
                lch_bounds b = kind.make(rng);
                if (trial % 4 != 3) std::memcpy(b.M, a.M, sizeof a.M);  // mostly one matrix
                const int64_t n = lengths[trial % (sizeof lengths / sizeof lengths[0])];
                const std::vector<uint8_t> rgb = random_pixels(rng, n, kind.make == narrow_window ? 3 : 255);
                std::vector<uint8_t> want(n + 64, 0xA5), got(n + 64, 0xA5), in_a(n + 1), in_b(n + 1);
                classify_either_pixels_plain(rgb.data(), n, a, b, want.data());
                k.either(rgb.data(), n, a, b, got.data());
                CHECK_MSG(want == got, describe("either", level, kind.name, n));
                classify_pixels_plain(rgb.data(), n, a, in_a.data());
                classify_pixels_plain(rgb.data(), n, b, in_b.data());
                for (int64_t p = 0; p < n; ++p) only_a += in_a[p] && !in_b[p], only_b += in_b[p] && !in_a[p];
            }
            // Some pixels must be in one window alone, or the union proves little.
            CHECK_MSG(only_a > 0 || only_b > 0, std::string(kind.name) + " pairs never split");
        }
    }
}

NATIVE_TEST(colour_worked_example) {
    const lch_bounds b = example_window();
    const uint8_t rgb[] = {255, 0, 0, 200, 100, 100, 200, 150, 40, 128, 128, 128};
    uint8_t mask[4], grey[4];
    classify_pixels(rgb, 4, b, mask);
    CHECK(mask[0] == 1 && mask[1] == 1 && mask[2] == 0 && mask[3] == 0);
    grey_pixels(rgb, 4, b, grey);
    CHECK(grey[0] == (85 * 255) >> 8 && grey[1] == (85 * 400) >> 8 && grey[2] == 0 && grey[3] == 0);
    // A pixel (200, 100, 50) inside a window with intensity row (85, 85, 85)
    // has grey level 116.
    const lch_bounds wide{{0, 1 << 20}, {0, 1 << 20}, {1, 0, 0, 0, 1, 0, 85, 85, 85}};
    const uint8_t px[] = {200, 100, 50};
    grey_pixels(px, 1, wide, grey);
    CHECK(grey[0] == 116);
}

NATIVE_TEST(colour_every_bound_is_strict) {
    // With M the identity on (r, g) and t = b: h0 = r, h1 = g, t = bl.
    const lch_bounds base{{10, 20}, {30, 50}, {1, 0, 0, 0, 1, 0, 0, 0, 1}};
    struct pixel_case {
        uint8_t r, g, bl;
        uint8_t inside;
    };
    const pixel_case cases[] = {
        {20, 20, 15, 1},  // well inside
        {0, 35, 15, 0},   // h0 == 0
        {35, 0, 15, 0},   // h1 == 0
        {20, 20, 10, 0},  // t == i[0]
        {20, 20, 20, 0},  // t == i[1]
        {15, 15, 15, 0},  // h0 + h1 == c[0]
        {25, 25, 15, 0},  // h0 + h1 == c[1]
        {15, 16, 11, 1},  // one step inside every bound
        {24, 25, 19, 1},
    };
    for (int l = 0; l < isa_level_count; ++l) {
        const isa_level level = static_cast<isa_level>(l);
        if (!level_supported(level)) continue;
        // Repeat the cases so that the vector body, not only the tail, sees them.
        std::vector<uint8_t> rgb;
        for (int rep = 0; rep < 16; ++rep)
            for (const pixel_case &c : cases) rgb.insert(rgb.end(), {c.r, c.g, c.bl});
        const int64_t n = static_cast<int64_t>(rgb.size() / 3);
        std::vector<uint8_t> mask(n), grey(n);
        colour_kernels_for(level).classify(rgb.data(), n, base, mask.data());
        colour_kernels_for(level).grey(rgb.data(), n, base, grey.data());
        for (int64_t k = 0; k < n; ++k) {
            const pixel_case &c = cases[k % (sizeof cases / sizeof cases[0])];
            CHECK_MSG(mask[k] == c.inside, std::string("bound case ") + std::to_string(k) + " at " + level_name(level));
            CHECK(grey[k] == 0);  // t < 256 gives grey 0 inside too
        }
    }
}

namespace {

// An image stored inside a larger block with guard bytes, addressed through
// arbitrary strides.
struct strided_image {
    std::vector<uint8_t> block;
    image_view view;
};

// The (h, w) region at (y0, x0) of a packed hh x ww image; rows and/or
// columns reversed on request.
image_view region(std::vector<uint8_t> &packed, int64_t ww, int64_t y0, int64_t x0, int64_t h, int64_t w,
                  bool flip_rows, bool flip_cols) {
    image_view v;
    v.shape[0] = h, v.shape[1] = w, v.shape[2] = 3;
    v.strides[0] = 3 * ww, v.strides[1] = 3, v.strides[2] = 1;
    int64_t y = y0, x = x0;
    if (flip_rows) y = y0 + h - 1, v.strides[0] = -v.strides[0];
    if (flip_cols) x = x0 + w - 1, v.strides[1] = -3;
    v.data = packed.data() + 3 * (y * ww + x);
    return v;
}

std::vector<uint8_t> packed_copy(const image_view &v) {
    std::vector<uint8_t> out;
    for (int64_t y = 0; y < v.shape[0]; ++y)
        for (int64_t x = 0; x < v.shape[1]; ++x)
            for (int c = 0; c < 3; ++c) out.push_back(v.at(y, x)[c * v.strides[2]]);
    return out;
}

image_view packed_view(std::vector<uint8_t> &data, int64_t h, int64_t w) {
    image_view v;
    v.data = data.data();
    v.shape[0] = h, v.shape[1] = w, v.shape[2] = 3;
    v.strides[0] = 3 * w, v.strides[1] = 3, v.strides[2] = 1;
    return v;
}

mask_view dense_mask(std::vector<uint8_t> &data, int64_t h, int64_t w) {
    mask_view m;
    m.data = data.data();
    m.shape[0] = h, m.shape[1] = w;
    m.strides[0] = w, m.strides[1] = 1;
    return m;
}

}  // namespace

NATIVE_TEST(colour_regions_and_reversed_views_equal_packed_copies) {
    std::mt19937 rng(99);
    const int64_t hh = 37, ww = 301;
    std::vector<uint8_t> big = random_pixels(rng, hh * ww, 255);
    const lch_bounds b = example_window();
    for (int flips = 0; flips < 4; ++flips) {
        const bool flip_rows = flips & 1, flip_cols = flips & 2;
        const image_view roi = region(big, ww, 3, 5, 29, 280, flip_rows, flip_cols);
        std::vector<uint8_t> copy = packed_copy(roi);
        const image_view packed = packed_view(copy, 29, 280);
        for (int grey = 0; grey < 2; ++grey) {
            std::vector<uint8_t> want(29 * 280 + 16, 0xEE), got(29 * 280 + 16, 0xEE);
            auto run = grey ? selective_grayscale_impl : mask_image_cy_impl;
            CHECK(run(packed, dense_mask(want, 29, 280), b) == 29 * 280);
            CHECK(run(roi, dense_mask(got, 29, 280), b) == 29 * 280);
            CHECK_MSG(want == got, "region differs from its packed copy, flips " + std::to_string(flips));
        }
    }
}

NATIVE_TEST(colour_strided_output_is_written_inside_its_region_only) {
    std::mt19937 rng(7);
    const int64_t h = 9, w = 300;
    std::vector<uint8_t> img = random_pixels(rng, h * w, 255);
    const image_view image = packed_view(img, h, w);
    const lch_bounds b = example_window();
    std::vector<uint8_t> want(h * w);
    CHECK(mask_image_cy_impl(image, dense_mask(want, h, w), b) == h * w);

    // An output region of a wider, taller block, rows reversed; and one with a
    // column step of 2.
    const int64_t bh = h + 4, bw = 2 * w + 8;
    for (int variant = 0; variant < 2; ++variant) {
        std::vector<uint8_t> block(bh * bw, 0x77);
        mask_view out;
        out.shape[0] = h, out.shape[1] = w;
        if (variant == 0) {
            out.strides[0] = -bw, out.strides[1] = 1;
            out.data = block.data() + (2 + h - 1) * bw + 3;
        } else {
            out.strides[0] = bw, out.strides[1] = 2;
            out.data = block.data() + 2 * bw + 3;
        }
        CHECK(!check_colour_arrays(image, out));
        CHECK(mask_image_cy_impl(image, out, b) == h * w);
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x) CHECK(*out.at(y, x) == want[y * w + x]);
        // Every written byte is 0 or 1, so exactly h*w bytes differ from the
        // fill when nothing outside the [y, x] positions was touched.
        int64_t changed = 0;
        for (uint8_t v : block) changed += v != 0x77;
        CHECK(changed == h * w);
    }
}

NATIVE_TEST(colour_dense_output_of_another_shape) {
    // A C-contiguous output with at least H*W elements is written densely
    // whatever its shape; the bytes past H*W stay as they were.
    std::mt19937 rng(3);
    std::vector<uint8_t> img = random_pixels(rng, 4 * 50, 255);
    const image_view image = packed_view(img, 4, 50);
    const lch_bounds b = example_window();
    std::vector<uint8_t> want(200), got(210, 0x33);
    mask_image_cy_impl(image, dense_mask(want, 4, 50), b);
    CHECK(mask_image_cy_impl(image, dense_mask(got, 21, 10), b) == 200);
    CHECK(std::equal(want.begin(), want.end(), got.begin()));
    for (int k = 200; k < 210; ++k) CHECK(got[k] == 0x33);
}

NATIVE_TEST(colour_refused_arrays_are_left_untouched) {
    std::vector<uint8_t> img(6 * 5 * 3, 200);
    const image_view image = packed_view(img, 6, 5);
    const lch_bounds b = example_window();
    std::vector<uint8_t> out(64, 0x42);

    struct refused {
        const char *name;
        image_view image;
        mask_view output;
        fault_kind kind;
    };
    image_view two_channels = image;
    two_channels.shape[2] = 2;
    image_view no_channels = image;
    no_channels.shape[2] = 0;
    mask_view too_small = dense_mask(out, 5, 5);  // 25 < 30 and 5 < 6 rows
    mask_view strided_narrow = dense_mask(out, 6, 4);
    strided_narrow.strides[0] = 10;  // not C-contiguous, 4 < 5 columns
    const refused cases[] = {
        {"two channels", two_channels, dense_mask(out, 6, 5), fault_kind::value},
        {"no channels", no_channels, dense_mask(out, 6, 5), fault_kind::value},
        {"no output", image, mask_view{}, fault_kind::type},
        {"output too small", image, too_small, fault_kind::value},
        {"strided output too narrow", image, strided_narrow, fault_kind::value},
    };
    for (const refused &c : cases) {
        CHECK_MSG(check_colour_arrays(c.image, c.output).kind == c.kind, c.name);
        CHECK_MSG(mask_image_cy_impl(c.image, c.output, b) == 0, c.name);
        CHECK_MSG(selective_grayscale_impl(c.image, c.output, b) == 0, c.name);
        for (uint8_t v : out) CHECK_MSG(v == 0x42, c.name);
    }

    // An image without pixels is accepted with any output and writes nothing.
    image_view empty = image;
    empty.shape[0] = 0;
    CHECK(!check_colour_arrays(empty, mask_view{}));
    CHECK(mask_image_cy_impl(empty, mask_view{}, b) == 0);
    CHECK(mask_image_cy_impl(image_view{}, dense_mask(out, 6, 5), b) == 0);
    for (uint8_t v : out) CHECK(v == 0x42);
}
