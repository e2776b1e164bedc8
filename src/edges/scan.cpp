#include "edges/scan.hpp"

#include <memory>

namespace orbisect::edges {

namespace {
uint8_t *thread_scratch() {
    thread_local std::unique_ptr<uint8_t[]> scratch(
        new uint8_t[column_scratch_bytes + 4 * pixel_block]);
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

}  // namespace orbisect::edges
