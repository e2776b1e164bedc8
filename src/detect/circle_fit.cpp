#include "detect/circle_fit.hpp"

#include <algorithm>
#include <cmath>

#include "detect/exact_math.hpp"

namespace orbisect::detect {

bool solve3(const double a[3][3], const double b[3], double out[3]) {
    const double c0 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const double c1 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    const double c2 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    const double det = a[0][0] * c0 + a[0][1] * c1 + a[0][2] * c2;
    if (det == 0.0 || !std::isfinite(det)) return false;
    out[0] = (b[0] * c0 + a[0][1] * (a[1][2] * b[2] - b[1] * a[2][2]) + a[0][2] * (b[1] * a[2][1] - a[1][1] * b[2])) / det;
    out[1] = (a[0][0] * (b[1] * a[2][2] - a[1][2] * b[2]) + b[0] * c1 + a[0][2] * (a[1][0] * b[2] - b[1] * a[2][0])) / det;
    out[2] = (a[0][0] * (a[1][1] * b[2] - b[1] * a[2][1]) + a[0][1] * (b[1] * a[2][0] - a[1][0] * b[2]) + b[0] * c2) / det;
    return true;
}

void gauss_newton(const double *xs, const double *ys, const int32_t *index, int32_t n, double &cx, double &cy,
                  double &r, int iterations) {
    if (n < 3) return;
    for (int it = 0; it < iterations; ++it) {
        double a[3][3] = {}, b[3] = {};
        for (int32_t k = 0; k < n; ++k) {
            const int32_t i = index ? index[k] : k;
            const double dx = xs[i] - cx, dy = ys[i] - cy;
            const double d = std::max(length2d(dx, dy), 1e-9);
            const double u = dx / d, v = dy / d, res = d - r;
            a[0][0] += u * u;
            a[0][1] += u * v;
            a[0][2] += u;
            a[1][1] += v * v;
            a[1][2] += v;
            b[0] += u * res;
            b[1] += v * res;
            b[2] += res;
        }
        a[1][0] = a[0][1];
        a[2][0] = a[0][2];
        a[2][1] = a[1][2];
        a[2][2] = static_cast<double>(n);
        double step[3];
        if (!solve3(a, b, step)) break;
        cx += step[0];
        cy += step[1];
        r += step[2];
        if (std::abs(step[0]) + std::abs(step[1]) + std::abs(step[2]) < 1e-4) break;
    }
}

bool fit_circle_algebraic(const double *xs, const double *ys, int32_t n, double &cx, double &cy, double &r) {
    if (n < 3) return false;
    double mx = 0, my = 0;
    for (int32_t k = 0; k < n; ++k) {
        mx += xs[k];
        my += ys[k];
    }
    mx /= n;
    my /= n;
    // Normal equations of u D + v E + F = -(u^2 + v^2) about the centroid.
    double g[3][3] = {}, rhs[3] = {};
    for (int32_t k = 0; k < n; ++k) {
        const double u = xs[k] - mx, v = ys[k] - my, q = u * u + v * v;
        const double row[3] = {u, v, 1.0};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) g[i][j] += row[i] * row[j];
            rhs[i] -= row[i] * q;
        }
    }
    double sol[3];
    if (!solve3(g, rhs, sol)) return false;
    const double ccx = -0.5 * sol[0], ccy = -0.5 * sol[1];
    const double r2 = ccx * ccx + ccy * ccy - sol[2];
    if (!(r2 > 0.0)) return false;
    cx = ccx + mx;
    cy = ccy + my;
    r = std::sqrt(r2);
    return true;
}

}  // namespace orbisect::detect
