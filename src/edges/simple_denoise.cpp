#include "edges/simple_denoise.hpp"

#include "core/wrap.hpp"

namespace orbisect {
namespace {

struct point {
    int32_t x, y;
};

point read(const points_view &ps, int64_t i) { return {point_x(ps, i), point_y(ps, i)}; }

void write(const points_view &ps, int64_t i, point p) { write_point(ps, i, p.x, p.y); }

// Rows the input holds, as the 32-bit count the filter works with.
int64_t input_rows(const points_view &ps_in) {
    return ps_in.data ? static_cast<int32_t>(ps_in.shape[0]) : 0;
}

fault index_check(const points_view &ps) {
    if (ps.shape[1] == 0) return fault::index(1);
    if (ps.shape[0] == 0) return fault::index(0);
    return {};
}

}  // namespace

fault check_simple_denoise(const points_view &ps_in, const points_view &ps_out) {
    const int64_t n = input_rows(ps_in);
    if (n <= 0) return {};
    if (fault f = index_check(ps_in)) return f;
    if (fault f = index_check(ps_out)) return f;
    if (ps_in.shape[1] < 2 || ps_out.shape[1] < 2)
        return fault::value("point sets must have at least 2 columns");
    // Filtering in place passes this test by itself; a shorter view of the
    // input is an output like any other and must have room for every run.
    if (ps_out.shape[0] < (n & ~int64_t{1}))
        return fault::value("output point set has fewer rows than the input's runs");
    return {};
}

int32_t simple_denoise(const points_view &ps_in, const points_view &ps_out, int32_t d) {
    const int64_t n = input_rows(ps_in);
    if (n < 2) return 0;
    // A run (L, M) is along a row when L.y == M.y and along a column when
    // L.x == M.x; gaps and lengths are 32-bit differences.
    auto keep = [d](point l, point m) {
        return (l.y == m.y && wrap_sub(m.x, l.x) >= d) || (l.x == m.x && wrap_sub(m.y, l.y) >= d);
    };
    int32_t count = 0;
    point l = read(ps_in, 0), m = read(ps_in, 1);
    for (int64_t i = 2; i + 1 <= n - 1; i += 2) {
        const point s = read(ps_in, i), e = read(ps_in, i + 1);
        if ((s.y == m.y && wrap_sub(s.x, m.x) < d) || (s.x == m.x && wrap_sub(s.y, m.y) < d)) {
            m = e;
            continue;
        }
        if (keep(l, m)) {
            write(ps_out, count, l);
            write(ps_out, count + 1, m);
            count += 2;
        }
        l = s;
        m = e;
    }
    if (keep(l, m)) {
        write(ps_out, count, l);
        write(ps_out, count + 1, m);
        count += 2;
    }
    return count;
}

}  // namespace orbisect
