#include "edges/scan.hpp"

#include <memory>

namespace orbisect::edges {

namespace {
constexpr int64_t pixel_scratch_bytes = 3 * pixel_block + pixel_slack + pixel_block + pixel_slack;

uint32_t *thread_scratch() {
    thread_local std::unique_ptr<uint32_t[]> scratch(
        new uint32_t[column_scratch_words + pixel_scratch_bytes / 4 + 1]);
    return scratch.get();
}
}  // namespace

uint32_t *column_scratch() { return thread_scratch(); }
uint8_t *pixel_scratch() { return reinterpret_cast<uint8_t *>(thread_scratch() + column_scratch_words); }

bool column_windows(const int64_t *xs, int count, int64_t width, int64_t step, int pixel_bytes,
                    int32_t *offset, uint8_t *first) {
    // The row's bytes run from lo to hi (offsets from pixel 0's first byte);
    // a row of one pixel has no room for a window (and any step).
    if (width < 2) return false;
    const int64_t span = (step < 0 ? -step : step) * (width - 1);
    const int64_t lo = step < 0 ? -span : 0, hi = (step < 0 ? 0 : span) + pixel_bytes - 1;
    if (hi - lo < 3 || hi > INT32_MAX || lo < INT32_MIN) return false;
    for (int j = 0; j < count; ++j) {
        const int64_t at = xs[j] * step;
        const int64_t start = at < hi - 3 ? at : hi - 3;
        offset[j] = static_cast<int32_t>(start);
        first[j] = static_cast<uint8_t>(at - start);
    }
    for (int j = count; j % column_lanes != 0; ++j) {
        offset[j] = offset[count - 1];
        first[j] = first[count - 1];
    }
    return true;
}

const scan_kernels &level_scan_kernels(isa_level level) { return ORBISECT_PICK_LEVEL(level, scan_table); }

const scan_kernels &best_scan_kernels() {
    static const scan_kernels &best = level_scan_kernels(best_level());
    return best;
}

fault check_point_output(const points_view &ps) {
    if (!ps.empty() && ps.shape[1] < 2)
        return fault::value("point set must have at least 2 columns");
    return {};
}

}  // namespace orbisect::edges
