#include "edges/scan.hpp"

#include <memory>

namespace orbisect::edges {

namespace {
uint8_t *thread_scratch() {
    thread_local std::unique_ptr<uint8_t[]> scratch(
        new uint8_t[column_scratch_bytes + 3 * pixel_scratch_pixels]);
    return scratch.get();
}
}  // namespace

uint8_t *column_scratch() { return thread_scratch(); }
uint8_t *pixel_scratch() { return thread_scratch() + column_scratch_bytes; }

fault check_point_output(const points_view &ps) {
    if (!ps.empty() && ps.shape[1] < 2)
        return fault::value("point set must have at least 2 columns");
    return {};
}

// Blocks of 64 bytes are reduced without branches (the compiler vectorises
// the OR / minimum); only a block that holds the answer is searched bytewise.
int64_t find_set(const uint8_t *bytes, int64_t from, int64_t n) {
    int64_t x = from;
    for (; x + 64 <= n; x += 64) {
        uint8_t any = 0;
        for (int i = 0; i < 64; ++i) any |= bytes[x + i];
        if (any) break;
    }
    while (x < n && bytes[x] == 0) ++x;
    return x;
}

int64_t find_clear(const uint8_t *bytes, int64_t from, int64_t n) {
    int64_t x = from;
    for (; x + 64 <= n; x += 64) {
        uint8_t least = 0xFF;
        for (int i = 0; i < 64; ++i) least = bytes[x + i] < least ? bytes[x + i] : least;
        if (least == 0) break;
    }
    while (x < n && bytes[x] != 0) ++x;
    return x;
}

}  // namespace orbisect::edges
