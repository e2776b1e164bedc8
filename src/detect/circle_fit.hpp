// Least-squares circles through points: the geometric fit by Gauss-Newton
// steps and the algebraic one (a single linear solve), both from 3 x 3
// normal equations solved by Cramer's rule, in one fixed order of
// operations (the same bits on every machine).
#pragma once

#include <cstdint>

namespace orbisect::detect {

// The solution of a 3 x 3 system by Cramer's rule; false when singular.
bool solve3(const double a[3][3], const double b[3], double out[3]);

// Least-squares circle by Gauss-Newton steps from (cx, cy, r) through the
// points (n of them, at index[k] when index is given); the start when the
// system is singular.
void gauss_newton(const double *xs, const double *ys, const int32_t *index, int32_t n, double &cx,
                  double &cy, double &r, int iterations);
// The circle nearest the points in the algebraic sense (one linear solve);
// false with fewer than 3 points, collinear points or no real radius.
bool fit_circle_algebraic(const double *xs, const double *ys, int32_t n, double &cx, double &cy,
                          double &r);

}  // namespace orbisect::detect
