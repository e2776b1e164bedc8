// Repeats one kernel call on a frame read from a file, for instruction counts
// under valgrind (see edge_counts.py, which builds and runs it).
//
//   edge_driver FRAME hsv  ROWS COLUMNS REPEATS I0 I1 C0 C1 M0..M8
//   edge_driver FRAME mask ROWS COLUMNS REPEATS I0 I1 C0 C1 M0..M8
//   edge_driver FRAME circle COUNT REPEATS
//
// FRAME holds the height and width as two 32-bit integers and then the
// packed RGB bytes.  "mask" scans the frame's mask under the window (made
// once, outside the repeats); "circle" fits circles to the frame's edge
// points under the window (48 rows, 64 columns).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "colour/window.hpp"
#include "edges/simple_edge.hpp"
#include "edges/simple_edge_hsv.hpp"
#include "fitting/fitting.hpp"

using namespace orbisect;

int main(int argc, char **argv) {
    if (argc < 4) return 2;
    std::FILE *f = std::fopen(argv[1], "rb");
    if (!f) return 2;
    int32_t hw[2];
    if (std::fread(hw, 4, 2, f) != 2) return 2;
    std::vector<uint8_t> pixels(static_cast<size_t>(hw[0]) * hw[1] * 3);
    if (std::fread(pixels.data(), 1, pixels.size(), f) != pixels.size()) return 2;
    std::fclose(f);
    image_view image;
    image.data = pixels.data();
    image.shape[0] = hw[0], image.shape[1] = hw[1], image.shape[2] = 3;
    image.strides[0] = 3 * hw[1], image.strides[1] = 3, image.strides[2] = 1;

    const char *what = argv[2];
    std::vector<int32_t> points(2 * 100000);
    points_view ps;
    ps.data = points.data();
    ps.shape[0] = 100000, ps.shape[1] = 2;
    ps.strides[0] = 8, ps.strides[1] = 4;
    auto arg = [&](int i) { return static_cast<int32_t>(std::strtol(argv[i], nullptr, 10)); };

    long total = 0;
    if (std::strcmp(what, "circle") == 0) {
        const int32_t count = arg(3), repeats = arg(4);
        const lch_bounds b{{6554, 58982}, {15135, 75674}, {148, -296, 148, 148, 148, -296, 85, 85, 85}};
        const int32_t n = simple_edge_hsv(image, ps, b, 48, 64);
        points_view found = ps;
        found.shape[0] = n;
        for (int r = 0; r < repeats; ++r) total += ransac_circle(found, count, 2, 400, 2, 12345u + r).r;
    } else {
        const int32_t rows = arg(3), columns = arg(4), repeats = arg(5);
        lch_bounds b;
        b.i[0] = arg(6), b.i[1] = arg(7), b.c[0] = arg(8), b.c[1] = arg(9);
        for (int k = 0; k < 9; ++k) b.M[k] = arg(10 + k);
        if (std::strcmp(what, "hsv") == 0) {
            for (int r = 0; r < repeats; ++r) total += simple_edge_hsv(image, ps, b, rows, columns);
        } else {
            std::vector<uint8_t> bytes(static_cast<size_t>(hw[0]) * hw[1]);
            mask_view mask;
            mask.data = bytes.data();
            mask.shape[0] = hw[0], mask.shape[1] = hw[1];
            mask.strides[0] = hw[1], mask.strides[1] = 1;
            mask_view out = mask;
            mask_image_cy_impl(image, out, b);
            for (int r = 0; r < repeats; ++r) total += simple_edge(mask, ps, rows, columns);
        }
    }
    std::printf("%ld\n", total);
    return 0;
}
