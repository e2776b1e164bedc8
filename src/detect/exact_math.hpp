// Elementary functions from the four operations and the square root alone.
//
// The C library's sin, cos, atan2 and hypot give different last bits on
// different machines (aarch64 and x86-64, x86-64 with and without fused
// multiply-add), so the detection core never calls them: what it needs is
// computed here, with IEEE operations that round the same everywhere (the
// build contracts nothing: -ffp-contract=off).
#pragma once

#include <cmath>
#include <cstdint>

namespace orbisect::detect {

// x rounded to the nearest integer, halves to even (std::nearbyint in the
// default rounding mode, which the core never changes), without a call: at
// the x86-64 baseline the library's is one.  Beyond 2^52 every double is
// an integer already; NaN and the infinities pass through.
inline double round_half_even(double x) {
    constexpr double big = 4503599627370496.0;  // 2^52
    if (!(std::fabs(x) < big)) return x;
    return std::signbit(x) ? -((-x + big) - big) : (x + big) - big;
}

// sqrt(x^2 + y^2), without the library's hypot (no care for overflow: the
// core's values are pixel coordinates).
inline double length2d(double x, double y) { return std::sqrt(x * x + y * y); }

// Sine and cosine of a (radians, |a| up to about 1e6): the quadrant taken
// off with pi/2 in two parts, then Taylor polynomials on [-pi/4, pi/4],
// whose truncation error there is below 1e-19.  Within a few ulps of the
// true values; the same bits on every machine.
inline void sin_cos(double a, double &s, double &c) {
    constexpr double pio2_hi = 1.5707963267341256e+00;  // pi/2, first 33 bits
    constexpr double pio2_lo = 6.0771005065061922e-11;  // pi/2 - pio2_hi
    const double k = round_half_even(a * 0.63661977236758134);  // a / (pi/2)
    const double r = (a - k * pio2_hi) - k * pio2_lo;
    const double r2 = r * r;
    // sin r = r (1 - r^2/3! + r^4/5! - ...), cos r = 1 - r^2/2! + r^4/4! - ...
    double ps = 1.0 / 355687428096000.0;         // 1/17!
    ps = ps * -r2 + 1.0 / 1307674368000.0;       // 1/15!
    ps = ps * -r2 + 1.0 / 6227020800.0;          // 1/13!
    ps = ps * -r2 + 1.0 / 39916800.0;            // 1/11!
    ps = ps * -r2 + 1.0 / 362880.0;              // 1/9!
    ps = ps * -r2 + 1.0 / 5040.0;                // 1/7!
    ps = ps * -r2 + 1.0 / 120.0;                 // 1/5!
    ps = ps * -r2 + 1.0 / 6.0;                   // 1/3!
    const double sr = r - r * r2 * ps;
    double pc = 1.0 / 6402373705728000.0;        // 1/18!
    pc = pc * -r2 + 1.0 / 20922789888000.0;      // 1/16!
    pc = pc * -r2 + 1.0 / 87178291200.0;         // 1/14!
    pc = pc * -r2 + 1.0 / 479001600.0;           // 1/12!
    pc = pc * -r2 + 1.0 / 3628800.0;             // 1/10!
    pc = pc * -r2 + 1.0 / 40320.0;               // 1/8!
    pc = pc * -r2 + 1.0 / 720.0;                 // 1/6!
    pc = pc * -r2 + 1.0 / 24.0;                  // 1/4!
    const double cr = 1.0 - 0.5 * r2 + r2 * r2 * pc;
    // k mod 4, for negative k too.
    const long q = static_cast<long>(k) & 3;
    switch (q) {
        case 0: s = sr; c = cr; break;
        case 1: s = cr; c = -sr; break;
        case 2: s = -sr; c = -cr; break;
        default: s = -cr; c = sr; break;
    }
}

// cos 2t and sin 2t of the direction t of (x, y) from the origin, without
// the angle: (x^2 - y^2, 2 x y) / (x^2 + y^2); (1, 0) at the origin.
inline void double_angle(double x, double y, double &c2, double &s2) {
    const double n = x * x + y * y;
    if (!(n > 0.0)) {
        c2 = 1.0;
        s2 = 0.0;
        return;
    }
    c2 = (x * x - y * y) / n;
    s2 = 2.0 * x * y / n;
}

}  // namespace orbisect::detect
