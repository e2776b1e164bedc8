// Typed views of caller-owned arrays: first element's address, extents and
// byte strides.  A view never owns memory and never copies.  An empty view
// (None from Python, or any zero extent) has data == nullptr or a zero extent
// and must not be dereferenced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orbisect {

template <typename T, int D>
struct array_view {
    static_assert(D >= 1 && D <= 3);
    T *data = nullptr;
    int64_t shape[D] = {};
    int64_t strides[D] = {};  // in bytes

    bool empty() const {
        if (data == nullptr) return true;
        for (int a = 0; a < D; ++a)
            if (shape[a] == 0) return true;
        return false;
    }

    // Address of element [i, 0, ...] (walks the outer axis by its stride).
    T *row(int64_t i) const {
        return reinterpret_cast<T *>(reinterpret_cast<char *>(data) + i * strides[0]);
    }

    // Address of element [i, j, 0, ...].
    T *at(int64_t i, int64_t j) const
        requires(D >= 2)
    {
        return reinterpret_cast<T *>(reinterpret_cast<char *>(data) + i * strides[0] +
                                     j * strides[1]);
    }

    // True when the array is densely packed in row-major order.
    bool c_contiguous() const {
        int64_t want = static_cast<int64_t>(sizeof(T));
        for (int a = D - 1; a >= 0; --a) {
            if (shape[a] > 1 && strides[a] != want) return false;
            want *= shape[a];
        }
        return true;
    }

    int64_t size() const {
        int64_t n = 1;
        for (int a = 0; a < D; ++a) n *= shape[a];
        return n;
    }
};

using image_view = array_view<uint8_t, 3>;   // H x W x 3, channels R, G, B
using mask_view = array_view<uint8_t, 2>;    // H x W, non-zero = set
using points_view = array_view<int32_t, 2>;  // N x 2, row = (x, y)
using flags_view = array_view<uint8_t, 1>;   // N, non-zero = inlier

// Point i of a point set (read or written).  Requires at least 2 columns.
// A point set may come at any byte address (a view of a byte buffer), so its
// integers are moved with memcpy, which is one plain load or store on
// processors that allow unaligned access.
inline const char *point_bytes(const points_view &ps, int64_t i) {
    return reinterpret_cast<const char *>(ps.data) + i * ps.strides[0];
}
inline int32_t point_x(const points_view &ps, int64_t i) {
    int32_t v;
    std::memcpy(&v, point_bytes(ps, i), sizeof v);
    return v;
}
inline int32_t point_y(const points_view &ps, int64_t i) {
    int32_t v;
    std::memcpy(&v, point_bytes(ps, i) + ps.strides[1], sizeof v);
    return v;
}
inline void write_point(const points_view &ps, int64_t i, int32_t x, int32_t y) {
    char *row = const_cast<char *>(point_bytes(ps, i));
    std::memcpy(row, &x, sizeof x);
    std::memcpy(row + ps.strides[1], &y, sizeof y);
}

// The point set of n points stored as x, y pairs from xy on.
inline points_view packed_point_set(int32_t *xy, int64_t n) {
    points_view v;
    v.data = xy;
    v.shape[0] = n;
    v.shape[1] = 2;
    v.strides[0] = 2 * sizeof(int32_t);
    v.strides[1] = sizeof(int32_t);
    return v;
}

}  // namespace orbisect
