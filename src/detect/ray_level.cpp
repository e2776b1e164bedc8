// The border refinement's ray sampling, compiled once per level: four
// samples at a time in vector lanes, each lane the arithmetic of one sample
// in the order the plain loop takes it (the same bits at every level), the
// rest one at a time.
#include "detect/ray_kernels.hpp"

namespace orbisect::ORBISECT_LEVEL {
namespace {

using lanes = double __attribute__((vector_size(32)));
using int_lanes = int32_t __attribute__((vector_size(16)));

// BT.601's Cb and Cr rows, applied to (R, G, B).
constexpr double cb_r = -0.168736, cb_g = -0.331264, cb_b = 0.5;
constexpr double cr_r = 0.5, cr_g = -0.418688, cr_b = -0.081312;

// (Truncation is the floor here: the samples lie in the frame, x, y >= 0.)
int64_t cell(double v, int64_t last) {
    const auto i = static_cast<int64_t>(v);
    return i < last ? i : last;
}

template <bool BGR>
void ray_samples(const detect::ray_frame &f, const detect::ray_request &ray, double (*chroma)[2], double inside[3],
                 double outside[3]) {
    const int n = ray.samples, edge = ray.edge;
    // The offsets from a pixel to the one right of it, below it and below
    // right (0 along an axis one pixel long), and the last top-left corner
    // of a bilinear cell.
    const int64_t right = f.width > 1 ? f.pixel_step : 0, down = f.height > 1 ? f.row_step : 0, both = right + down;
    const int64_t x_last = f.width > 2 ? f.width - 2 : 0, y_last = f.height > 2 ? f.height - 2 : 0;
    int s = 0;
    for (; s + 4 <= n; s += 4) {
        const lanes t = {ray.ts[s], ray.ts[s + 1], ray.ts[s + 2], ray.ts[s + 3]};
        const lanes x = ray.cx + ray.ux * t, y = ray.cy + ray.uy * t;
        int64_t x0[4], y0[4];
        const uint8_t *p[4];
        for (int k = 0; k < 4; ++k) {
            x0[k] = cell(x[k], x_last);
            y0[k] = cell(y[k], y_last);
            p[k] = f.data + (y0[k] * f.row_step + x0[k] * f.pixel_step);
        }
        const lanes fx = x - lanes{static_cast<double>(x0[0]), static_cast<double>(x0[1]),
                                   static_cast<double>(x0[2]), static_cast<double>(x0[3])};
        const lanes fy = y - lanes{static_cast<double>(y0[0]), static_cast<double>(y0[1]),
                                   static_cast<double>(y0[2]), static_cast<double>(y0[3])};
        lanes rgb[3];
        for (int c = 0; c < 3; ++c) {
            const int64_t o = c * f.channel_step, o01 = o + right, o10 = o + down, o11 = o + both;
            const lanes f00 = __builtin_convertvector((int_lanes{p[0][o], p[1][o], p[2][o], p[3][o]}), lanes);
            const lanes f01 = __builtin_convertvector((int_lanes{p[0][o01], p[1][o01], p[2][o01], p[3][o01]}), lanes);
            const lanes f10 = __builtin_convertvector((int_lanes{p[0][o10], p[1][o10], p[2][o10], p[3][o10]}), lanes);
            const lanes f11 = __builtin_convertvector((int_lanes{p[0][o11], p[1][o11], p[2][o11], p[3][o11]}), lanes);
            const lanes top = f00 + (f01 - f00) * fx;
            const lanes bottom = f10 + (f11 - f10) * fx;
            rgb[c] = top + (bottom - top) * fy;
        }
        const lanes r = BGR ? rgb[2] : rgb[0], g = rgb[1], b = BGR ? rgb[0] : rgb[2];
        const lanes cb = cb_r * r + cb_g * g + cb_b * b;
        const lanes cr = cr_r * r + cr_g * g + cr_b * b;
        for (int k = 0; k < 4; ++k) {
            chroma[s + k][0] = cb[k];
            chroma[s + k][1] = cr[k];
            if (s + k < edge)
                for (int j = 0; j < 3; ++j) inside[j] += rgb[j][k];
            if (s + k >= n - edge)
                for (int j = 0; j < 3; ++j) outside[j] += rgb[j][k];
        }
    }
    for (; s < n; ++s) {
        const double x = ray.cx + ray.ux * ray.ts[s], y = ray.cy + ray.uy * ray.ts[s];
        const int64_t x0 = cell(x, x_last), y0 = cell(y, y_last);
        const double fx = x - static_cast<double>(x0), fy = y - static_cast<double>(y0);
        const uint8_t *q = f.data + (y0 * f.row_step + x0 * f.pixel_step);
        double rgb[3];
        for (int c = 0; c < 3; ++c, q += f.channel_step) {
            const double f00 = q[0], f01 = q[right], f10 = q[down], f11 = q[both];
            const double top = f00 + (f01 - f00) * fx;
            const double bottom = f10 + (f11 - f10) * fx;
            rgb[c] = top + (bottom - top) * fy;
        }
        const double r = BGR ? rgb[2] : rgb[0], g = rgb[1], b = BGR ? rgb[0] : rgb[2];
        chroma[s][0] = cb_r * r + cb_g * g + cb_b * b;
        chroma[s][1] = cr_r * r + cr_g * g + cr_b * b;
        if (s < edge)
            for (int j = 0; j < 3; ++j) inside[j] += rgb[j];
        if (s >= n - edge)
            for (int j = 0; j < 3; ++j) outside[j] += rgb[j];
    }
}

const detect::ray_kernels table{ray_samples<false>, ray_samples<true>};

}  // namespace

const detect::ray_kernels &ray_table() { return table; }

}  // namespace orbisect::ORBISECT_LEVEL
