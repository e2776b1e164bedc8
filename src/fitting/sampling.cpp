// Point sets: the checks shared by the fits, the sampler, the packed copy of a
// set and inlier removal.
#include <cstdint>
#include <cstring>

#include "fitting/fit_detail.hpp"
#include "fitting/fitting.hpp"

namespace orbisect {

int32_t point_count(const points_view &ps) {
    if (ps.shape[0] <= 0 || ps.shape[1] < 2) return 0;
    return static_cast<int32_t>(ps.shape[0]);
}

fault check_points(const points_view &ps) {
    if (ps.shape[0] == 0) return {};
    if (ps.shape[1] < 2) return fault::value("point set needs 2 columns (x, y)");
    if (ps.shape[0] > INT32_MAX) return fault::value("point set has more than 2147483647 points");
    return {};
}

fault check_points_and_flags(const points_view &ps, const flags_view &ms) {
    if (fault f = check_points(ps)) return f;
    if (ms.shape[0] < point_count(ps)) return fault::value("_ms has fewer entries than _ps has points");
    return {};
}

void draw_sample(const points_view &ps, uint32_t n, int k, uint32_t &state, uint32_t *indices,
                 sample_point *points) {
    int taken = 0;
    while (taken < k) {
        const uint32_t index = state % n;
        bool fresh = true;
        for (int j = 0; j < taken; ++j) fresh &= indices[j] != index;
        if (fresh) {
            indices[taken] = index;
            points[taken] = {point_x(ps, index), point_y(ps, index)};
            ++taken;
        }
        state = state * 1664525u + 1013904223u;
    }
}

fault check_remove_inliers(const points_view &in, const points_view &out, const flags_view &ms) {
    // A None view has every extent 0.
    const int64_t flags = ms.shape[0];
    if (flags == 0) return fault::index(0);
    const int64_t n = in.shape[0];
    if (n == 0) return {};
    if (in.shape[1] == 0) return fault::index(1);
    const int64_t out_rows = out.shape[0], out_cols = out.shape[1];
    if (out_cols == 0) return fault::index(1);
    if (out_rows == 0) return fault::index(0);
    if (fault f = check_points(in)) return f;
    if (out_cols < 2) return fault::value("_ps_out needs 2 columns (x, y)");
    if (flags < n) return fault::value("_ms has fewer entries than _ps_in has points");
    int64_t kept = 0;
    for (int64_t i = 0; i < n; ++i) kept += *ms.row(i) == 0;
    if (out_rows < kept) return fault::value("_ps_out has fewer rows than the points it keeps");
    return {};
}

int32_t remove_inliers(const points_view &in, const points_view &out, const flags_view &ms) {
    const int32_t n = point_count(in);
    int32_t kept = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (*ms.row(i) != 0) continue;
        // Read the whole point before writing: the destination row may be
        // the source row itself.
        const int32_t x = point_x(in, i), y = point_y(in, i);
        write_point(out, kept, x, y);
        ++kept;
    }
    return kept;
}

namespace fitting_detail {

packed_ints::packed_ints(const points_view &ps, int32_t count)
    : packed_points(ps, count), xs_(new int32_t[scratch_points()]),
      ys_(new int32_t[scratch_points()]), xy16_(new uint32_t[scratch_points()]) {
    if (cached_) gather(0, n_);
}

void packed_ints::gather(int32_t first, int32_t count) {
    bool short_coordinates = true;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t x = point_x(ps_, first + i), y = point_y(ps_, first + i);
        xs_[i] = x;
        ys_[i] = y;
        short_coordinates &= x >= INT16_MIN && x <= INT16_MAX && y >= INT16_MIN && y <= INT16_MAX;
    }
    if (short_coordinates)
        for (int32_t i = 0; i < count; ++i)
            xy16_[i] = (static_cast<uint32_t>(xs_[i]) & 0xFFFFu) | (static_cast<uint32_t>(ys_[i]) << 16);
    block_ = {xs_.get(), ys_.get(), short_coordinates ? xy16_.get() : nullptr, count};
}

packed_doubles::packed_doubles(const points_view &ps, int32_t count)
    : packed_points(ps, count), xs_(new double[scratch_points()]),
      ys_(new double[scratch_points()]) {
    if (cached_) gather(0, n_);
}

void packed_doubles::gather(int32_t first, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        xs_[i] = point_x(ps_, first + i);
        ys_[i] = point_y(ps_, first + i);
    }
    block_ = {xs_.get(), ys_.get(), count};
}

}  // namespace fitting_detail
}  // namespace orbisect
