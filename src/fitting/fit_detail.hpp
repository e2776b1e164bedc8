// Internals shared by the fitting sources and the native tests: the packed
// copy of a point set, the fits with an explicit inlier-counting table, and
// the arithmetic helpers of the fits.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "core/array_view.hpp"
#include "core/wrap.hpp"
#include "fitting/fitting.hpp"
#include "fitting/inliers.hpp"
#include "fitting/models.hpp"

namespace orbisect::fitting_detail {

// The points of a set in planar columns, so that each candidate's pass is a
// unit-stride loop.  A set of up to cached_points points is gathered once per
// call; a larger one is gathered block by block for every candidate into a
// scratch of block_points points, so that the memory a fit takes is bounded
// whatever the caller passes (a zero-stride view can claim 2^31 - 1 rows).
// Counts are sums over blocks, the same whichever way the set is cut.
// Allocated once per call (throws std::bad_alloc when memory runs out).
constexpr int32_t cached_points = 1 << 20;
constexpr int32_t block_points = 1 << 12;

// One block: n points as columns, and as 16-bit pairs (x low word, y high
// word) when every coordinate of the block fits in 16 bits, else null.
struct int_block {
    const int32_t *xs, *ys;
    const uint32_t *xy16;
    int32_t n;
};
struct double_block {
    const double *xs, *ys;
    int32_t n;
};

// What the two packed forms share: the set's size, whether it is held whole,
// and the walk over its blocks.  Packed provides gather(first, count), which
// fills block_ with points first .. first + count - 1.
template <class Packed, class Block>
class packed_points {
  public:
    // The sum of count(block) over the blocks of the set, in order.
    template <class Count>
    int32_t sum(Count &&count) {
        if (cached_) return count(block_);
        int32_t total = 0;
        for (int32_t i0 = 0; i0 < n_; i0 += block_points) {
            static_cast<Packed *>(this)->gather(i0, n_ - i0 < block_points ? n_ - i0 : block_points);
            total += count(block_);
        }
        return total;
    }

  protected:
    packed_points(const points_view &ps, int32_t count)
        : ps_(ps), n_(count > 0 ? count : 0), cached_(n_ <= cached_points) {}
    // Points of scratch a packed form needs: the whole set, or one block.
    int32_t scratch_points() const { return n_ == 0 ? 1 : cached_ ? n_ : block_points; }

    const points_view &ps_;
    int32_t n_;
    bool cached_;
    Block block_{};
};

class packed_ints : public packed_points<packed_ints, int_block> {
  public:
    packed_ints(const points_view &ps, int32_t count);

  private:
    friend class packed_points<packed_ints, int_block>;
    void gather(int32_t first, int32_t count);
    std::unique_ptr<int32_t[]> xs_, ys_;
    std::unique_ptr<uint32_t[]> xy16_;
};

class packed_doubles : public packed_points<packed_doubles, double_block> {
  public:
    packed_doubles(const points_view &ps, int32_t count);

  private:
    friend class packed_points<packed_doubles, double_block>;
    void gather(int32_t first, int32_t count);
    std::unique_ptr<double[]> xs_, ys_;
};

// A double truncated toward zero to 32 bits; values beyond the range saturate
// and a NaN gives 0 (the plain conversion would be undefined there).
inline int32_t trunc_to_int32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483648.0) return INT32_MAX;
    if (v <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Points in the band (in exactly one of two bands), by the 16-bit path when
// the points and the normals allow it.
int32_t count_band(const inlier_kernels &k, packed_ints &pts, const band_test &b);
int32_t count_band_pair(const inlier_kernels &k, packed_ints &pts, const band_test &b1,
                        const band_test &b2);

// The band of a line record: |nx*x + ny*y + h| <= t with h = -(nx*px + ny*py)
// and t = L * delta truncated, L = sqrt(nx^2 + ny^2).
band_test line_band(const line_model &m, int32_t delta);

circle_model ransac_circle(const inlier_kernels &k, const points_view &ps, int32_t count,
                           int32_t min_r, int32_t max_r, int32_t delta, uint32_t state);
ellipse_model ransac_ellipse(const inlier_kernels &k, const points_view &ps, int32_t count,
                             int32_t min_r, int32_t max_r, double ratio, int32_t delta,
                             uint32_t state);
line_model ransac_line(const inlier_kernels &k, const points_view &ps, const flags_view &ms,
                       int32_t count, int32_t delta, double slope_limit, uint32_t state);
std::pair<line_model, line_model> ransac_line2(const inlier_kernels &k, const points_view &ps,
                                               const flags_view &ms, int32_t count,
                                               double ratio, int32_t delta, uint32_t state);

// The candidate circle through three points, or false when it is refused
// before the radius test (collinear points, or a centre or squared radius
// outside 32 bits).  Points whose coordinates all lie below 2^13 in
// magnitude are computed in 64 bits, others in 128 (circle_through_wide,
// which gives the same for the small ones).
bool circle_through(const sample_point p[3], circle_model &out);
bool circle_through_wide(const sample_point p[3], circle_model &out);

}  // namespace orbisect::fitting_detail
