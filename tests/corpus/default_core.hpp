// The detector's default core settings (its windows compiled as
// FieldDetector compiles them, for RGB and BGR frames), seeded, for the
// corpus and the core's profile driver.
#pragma once

#include <utility>

#include "detect/core.hpp"

namespace corpus {
using orbisect::lch_bounds;
namespace detect = orbisect::detect;

// The same window for frames whose channels come as B, G, R: the rows of
// the matrix's columns reversed.
inline lch_bounds bgr_of(lch_bounds b) {
    for (int r = 0; r < 3; ++r) std::swap(b.M[3 * r], b.M[3 * r + 2]);
    return b;
}

inline detect::core_settings default_settings() {
    detect::core_settings s;
    s.field[0] = {{2621, 52429}, {13581, 97006}, {45, 197, -241, -248, 182, 67, 85, 85, 85}};
    const lch_bounds paint[3] = {
        {{22938, 65536}, {0, 24811}, {289, -289, 0, 314, -58, -256, 85, 85, 85}},
        {{22938, 65536}, {0, 24811}, {0, 289, -289, -256, 314, -58, 85, 85, 85}},
        {{22938, 65536}, {0, 24811}, {-289, 0, 289, -58, -256, 314, 85, 85, 85}},
    };
    s.field[1] = bgr_of(s.field[0]);
    // The field in deep shadow (its hue, chroma from 0.04, intensity to 0.3).
    s.shade[0] = {{2621, 19661}, {3880, 97006}, {45, 197, -241, -248, 182, 67, 85, 85, 85}};
    s.shade[1] = bgr_of(s.shade[0]);
    s.shaded = true;
    s.ball_window[0] = {{1966, 62259}, {6726, 80712}, {343, -581, 238, -101, 549, -447, 85, 85, 85}};
    s.ball_window[1] = bgr_of(s.ball_window[0]);
    for (int order = 0; order < 2; ++order) {
        s.paint[order].count = 3;
        s.paint[order].grey_lo = 89;
        s.paint[order].grey_hi = 256;
        for (int k = 0; k < 3; ++k) s.paint[order].windows[k] = order ? bgr_of(paint[k]) : paint[k];
        // The paint as a deep shadow leaves it: intensity from 0.2.
        s.shaded_paint[order] = s.paint[order];
        s.shaded_paint[order].grey_lo = 51;
        for (int k = 0; k < 3; ++k) s.shaded_paint[order].windows[k].i[0] = 13107;
    }
    s.paint_in_shade = true;
    s.seeded = true;
    return s;
}

}  // namespace corpus
