// The line refinement's profile sampling, compiled once per level: four
// points at a time in vector lanes, each lane the arithmetic of one point
// in the order the plain loop takes it (the same bits at every level), the
// rest one at a time.
#include "detect/profile_kernels.hpp"

namespace orbisect::ORBISECT_LEVEL {
namespace {

using lanes = double __attribute__((vector_size(32)));
using int_lanes = int32_t __attribute__((vector_size(16)));

// The floor of v, for |v| < 2^52 (larger values are integers already).
double floor_of(double v) {
    constexpr double big = 4503599627370496.0;  // 2^52
    if (!(v < big && v > -big)) return v;
    const double t = static_cast<double>(static_cast<int64_t>(v));  // towards zero
    return t > v ? t - 1.0 : (t == 0.0 && v == 0.0 ? v : t);
}

// Whether the four pixels around (x, y) lie in the frame.
bool in_frame(const detect::profile_frame &f, double x, double y) {
    const double fx = floor_of(x), fy = floor_of(y);
    return fx >= 0.0 && fy >= 0.0 && fx + 1.0 <= static_cast<double>(f.width - 1) &&
           fy + 1.0 <= static_cast<double>(f.height - 1);
}

int32_t sum_at(const uint8_t *p) { return int32_t{p[0]} + p[1] + p[2]; }

bool intensities(const detect::profile_frame &f, double cx, double cy, double nx, double ny, int samples, int mid,
                 double step, double *v) {
    if (samples <= 0) return true;
    const double s0 = (0 - mid) * step, s1 = (samples - 1 - mid) * step;
    if (!in_frame(f, cx + s0 * nx, cy + s0 * ny) || !in_frame(f, cx + s1 * nx, cy + s1 * ny)) return false;
    const int64_t right = f.pixel_step, down = f.row_step, both = right + down;
    int i = 0;
    for (; i + 4 <= samples; i += 4) {
        const lanes s = lanes{static_cast<double>(i - mid), static_cast<double>(i + 1 - mid),
                              static_cast<double>(i + 2 - mid), static_cast<double>(i + 3 - mid)} * step;
        const lanes x = cx + s * nx, y = cy + s * ny;
        double fx[4], fy[4];
        const uint8_t *p[4];
        for (int k = 0; k < 4; ++k) {
            fx[k] = floor_of(x[k]);
            fy[k] = floor_of(y[k]);
            p[k] = f.data + (static_cast<int64_t>(fy[k]) * f.row_step + static_cast<int64_t>(fx[k]) * f.pixel_step);
        }
        const lanes ax = x - lanes{fx[0], fx[1], fx[2], fx[3]}, ay = y - lanes{fy[0], fy[1], fy[2], fy[3]};
        const lanes s00 = __builtin_convertvector((int_lanes{sum_at(p[0]), sum_at(p[1]), sum_at(p[2]), sum_at(p[3])}), lanes);
        const lanes s01 = __builtin_convertvector(
            (int_lanes{sum_at(p[0] + right), sum_at(p[1] + right), sum_at(p[2] + right), sum_at(p[3] + right)}), lanes);
        const lanes s10 = __builtin_convertvector(
            (int_lanes{sum_at(p[0] + down), sum_at(p[1] + down), sum_at(p[2] + down), sum_at(p[3] + down)}), lanes);
        const lanes s11 = __builtin_convertvector(
            (int_lanes{sum_at(p[0] + both), sum_at(p[1] + both), sum_at(p[2] + both), sum_at(p[3] + both)}), lanes);
        const lanes top = s00 * (1.0 - ax) + s01 * ax;
        const lanes bottom = s10 * (1.0 - ax) + s11 * ax;
        const lanes out = top * (1.0 - ay) + bottom * ay;
        for (int k = 0; k < 4; ++k) v[i + k] = out[k];
    }
    for (; i < samples; ++i) {
        const double s = (i - mid) * step;
        const double x = cx + s * nx, y = cy + s * ny;
        const double fx = floor_of(x), fy = floor_of(y);
        const uint8_t *q = f.data + (static_cast<int64_t>(fy) * f.row_step + static_cast<int64_t>(fx) * f.pixel_step);
        const double ax = x - fx, ay = y - fy;
        const double top = static_cast<double>(sum_at(q)) * (1.0 - ax) + static_cast<double>(sum_at(q + right)) * ax;
        const double bottom =
            static_cast<double>(sum_at(q + down)) * (1.0 - ax) + static_cast<double>(sum_at(q + both)) * ax;
        v[i] = top * (1.0 - ay) + bottom * ay;
    }
    return true;
}

const detect::profile_kernels table{intensities};

}  // namespace

const detect::profile_kernels &profile_table() { return table; }

}  // namespace orbisect::ORBISECT_LEVEL
