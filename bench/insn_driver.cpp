// Runs one kernel loop of one level once, for instruction counts under
// emulation (see arm_instructions.py, which builds it for x86-64 and aarch64
// and counts the instructions executed in the level's code).
//
//   insn_driver LEVEL KERNEL N
//
// KERNEL is mask or grey (N pixels of a row), columns or mask_columns (the
// level's column loop over 64 columns of N rows), scan or mask_scan (the
// whole column pass of simple_edge_hsv or simple_edge over 64 columns of N
// rows, with the caller's loop where the level has none), or ring, band,
// band_pair, band16, band_pair16, shell (N points).  The window is the
// detector's ball window (16-bit entries).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "colour/window.hpp"
#include "edges/scan_kernels.hpp"
#include "edges/simple_edge.hpp"
#include "edges/simple_edge_hsv.hpp"
#include "fitting/inliers.hpp"

using namespace orbisect;

namespace orbisect::edges {
const scan_kernels &level_scan_kernels(isa_level level);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: insn_driver LEVEL KERNEL N\n");
        return 2;
    }
    isa_level level = isa_level::baseline;
    bool found = false;
    for (int l = 0; l < isa_level_count; ++l)
        if (std::strcmp(argv[1], level_name(static_cast<isa_level>(l))) == 0)
            level = static_cast<isa_level>(l), found = level_supported(level);
    if (!found) {
        std::fprintf(stderr, "insn_driver: no level %s here\n", argv[1]);
        return 2;
    }
    const std::string kernel = argv[2];
    const int32_t n = std::atoi(argv[3]);
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    const lch_bounds ball{{1966, 62259}, {6726, 80712}, {343, -581, 238, -101, 549, -447, 85, 85, 85}};
    long result = 0;
    if (kernel == "mask" || kernel == "grey") {
        std::vector<uint8_t> rgb(3 * static_cast<size_t>(n)), out(static_cast<size_t>(n));
        for (uint8_t &v : rgb) v = static_cast<uint8_t>(next() >> 24);
        const colour_kernels &k = colour_kernels_for(level);
        (kernel == "mask" ? k.classify : k.grey)(rgb.data(), n, ball, out.data());
        for (uint8_t v : out) result += v;
    } else if (kernel == "columns" || kernel == "mask_columns") {
        const int columns = 64, width = 640, bytes = kernel == "columns" ? 3 : 1;
        std::vector<uint8_t> image(static_cast<size_t>(n) * width * bytes);
        for (uint8_t &v : image) v = static_cast<uint8_t>(next() >> 24);
        alignas(64) int32_t offset[80];
        uint8_t first[80] = {};
        for (int j = 0; j < 80; ++j) offset[j] = (j < columns ? j : columns - 1) * 10 * bytes;
        std::vector<uint32_t> bits(static_cast<size_t>((n + 31) / 32) * columns);
        const edges::column_block block{image.data(), int64_t{width} * bytes, n, offset, first, columns, bits.data()};
        const edges::scan_kernels &k = edges::level_scan_kernels(level);
        const bool done = kernel == "columns" ? k.window_columns(block, ball) : k.mask_columns(block);
        result = done ? static_cast<long>(bits[0]) : -1;
    } else if (kernel == "scan" || kernel == "mask_scan") {
        // Colours that stay for 8 rows, so that runs end now and then.
        const int64_t width = 640, bytes = kernel == "scan" ? 3 : 1;
        std::vector<uint8_t> image(static_cast<size_t>(n * width * bytes));
        for (int64_t y = 0; y < n; y += 8)
            for (int64_t i = 0; i < width * bytes; ++i) {
                const auto v = static_cast<uint8_t>(next() >> 24);
                for (int64_t r = y; r < y + 8 && r < n; ++r) image[static_cast<size_t>(r * width * bytes + i)] = v;
            }
        std::vector<int32_t> points(2 * 1000000);
        points_view ps;
        ps.data = points.data();
        ps.shape[0] = 1000000, ps.shape[1] = 2;
        ps.strides[0] = 8, ps.strides[1] = 4;
        const edges::scan_kernels &k = edges::level_scan_kernels(level);
        if (kernel == "scan") {
            image_view v;
            v.data = image.data();
            v.shape[0] = n, v.shape[1] = width, v.shape[2] = 3;
            v.strides[0] = 3 * width, v.strides[1] = 3, v.strides[2] = 1;
            result = simple_edge_hsv(k, v, ps, ball, 0, 64);
        } else {
            for (uint8_t &b : image) b = b > 128;
            mask_view v;
            v.data = image.data();
            v.shape[0] = n, v.shape[1] = width;
            v.strides[0] = width, v.strides[1] = 1;
            result = simple_edge(k, v, ps, 0, 64);
        }
    } else {
        std::vector<int32_t> xs(static_cast<size_t>(n)), ys(static_cast<size_t>(n));
        std::vector<uint32_t> xy(static_cast<size_t>(n));
        std::vector<double> fx(static_cast<size_t>(n)), fy(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) {
            xs[i] = static_cast<int32_t>(next() >> 23) - 256;
            ys[i] = static_cast<int32_t>(next() >> 23) - 256;
            xy[i] = (static_cast<uint32_t>(xs[i]) & 0xFFFFu) | (static_cast<uint32_t>(ys[i]) << 16);
            fx[i] = xs[i], fy[i] = ys[i];
        }
        const inlier_kernels &k = level_inliers(level);
        const ring_test ring{10, -20, 80 * 80, 84 * 84};
        const band_test b1{3, -4, 7, -10, 10}, b2{4, 3, -50, -10, 10};
        const conic_test inner{0.001, 1.0 / 900, 1.0 / 1600, -0.1, 0.2, -0.9};
        const conic_test outer{0.001, 1.0 / 1000, 1.0 / 1700, -0.1, 0.2, -1.1};
        if (kernel == "ring") result = k.ring(xs.data(), ys.data(), n, ring);
        else if (kernel == "band") result = k.band(xs.data(), ys.data(), n, b1);
        else if (kernel == "band_pair") result = k.band_pair(xs.data(), ys.data(), n, b1, b2);
        else if (kernel == "band16") result = k.band16(xy.data(), n, b1);
        else if (kernel == "band_pair16") result = k.band_pair16(xy.data(), n, b1, b2);
        else if (kernel == "shell") result = k.shell(fx.data(), fy.data(), n, inner, outer);
        else {
            std::fprintf(stderr, "insn_driver: no kernel %s\n", kernel.c_str());
            return 2;
        }
    }
    std::printf("%ld\n", result);
    return 0;
}
