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
    : xs(new int32_t[count > 0 ? count : 1]), ys(new int32_t[count > 0 ? count : 1]), n(count) {
    bool short_coordinates = true;
    for (int32_t i = 0; i < n; ++i) {
        xs[i] = point_x(ps, i);
        ys[i] = point_y(ps, i);
        short_coordinates &= xs[i] >= INT16_MIN && xs[i] <= INT16_MAX && ys[i] >= INT16_MIN &&
                             ys[i] <= INT16_MAX;
    }
    if (!short_coordinates) return;
    xy16.reset(new uint32_t[n > 0 ? n : 1]);
    for (int32_t i = 0; i < n; ++i)
        xy16[i] = (static_cast<uint32_t>(xs[i]) & 0xFFFFu) | (static_cast<uint32_t>(ys[i]) << 16);
}

packed_doubles::packed_doubles(const points_view &ps, int32_t count)
    : xs(new double[count > 0 ? count : 1]), ys(new double[count > 0 ? count : 1]), n(count) {
    for (int32_t i = 0; i < n; ++i) {
        xs[i] = point_x(ps, i);
        ys[i] = point_y(ps, i);
    }
}

}  // namespace fitting_detail
}  // namespace orbisect
