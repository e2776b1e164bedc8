// The per-level loops of the column pass: chosen columns of a block of rows
// read and classified straight into bit words, one word per column and 32
// rows.
//
// This header is included by the per-level source: records and declarations
// only, no inline functions.
#pragma once

#include <cstdint>

#include "colour/lch_bounds.hpp"
#include "core/levels.hpp"

namespace orbisect::edges {

// Chosen columns of rows 0 .. rows-1 of a block.  Row r starts at
// row0 + r * row_step (any step, 0 included).  Column j is read as the four
// bytes at offset[j] from the row's start, a window that lies inside the row
// (the pixel's bytes and the ones after them, or before them for the pixel
// at the row's highest address); its value starts at byte first[j] of the
// window (0 or 1 for a colour image, 0 to 3 for a mask).  offset and first hold count
// entries and then copies of the last one up to a multiple of column_lanes.
//
// The loops write bits[w * count + j] for every column j and word w of the
// block: bit b of the word is set when row 32 * w + b of the column is.  Bits
// of rows beyond the block are 0.
constexpr int column_lanes = 16;
constexpr int max_block_columns = 512;

struct column_block {
    const uint8_t *row0;
    int64_t row_step;
    int64_t rows;
    const int32_t *offset;
    const uint8_t *first;
    int count;  // 1 .. max_block_columns
    uint32_t *bits;
};

struct scan_kernels {
    // Pixels inside the window (columns of an RGB image).  False, with
    // nothing written, when this level has no such loop or the window does
    // not suit it; the caller then classifies the pixels itself.
    bool (*window_columns)(const column_block &block, const lch_bounds &bounds);
    // Non-zero bytes (columns of a mask).  False, with nothing written, when
    // this level has no such loop.
    bool (*mask_columns)(const column_block &block);
};

}  // namespace orbisect::edges

ORBISECT_DECLARE_LEVELS(const ::orbisect::edges::scan_kernels &, scan_table)
