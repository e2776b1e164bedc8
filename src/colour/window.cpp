// Dispatch of the pixel row loops and the whole-image drivers of the mask and
// selective grey.
#include "colour/window.hpp"

namespace orbisect {

const colour_kernels &colour_kernels_for(isa_level level) {
    return ORBISECT_PICK_LEVEL(level, colour_table);
}

const colour_kernels &colour_kernels_best() {
    static const colour_kernels &best = colour_kernels_for(best_level());
    return best;
}

void classify_pixels(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
    colour_kernels_best().classify(rgb, n, b, out);
}

void grey_pixels(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
    colour_kernels_best().grey(rgb, n, b, out);
}

void classify_either_pixels(const uint8_t *rgb, int64_t n, const lch_bounds &a, const lch_bounds &b,
                            uint8_t *out) {
    colour_kernels_best().either(rgb, n, a, b, out);
}

void classify_either_pixels_plain(const uint8_t *rgb, int64_t n, const lch_bounds &a, const lch_bounds &b,
                                  uint8_t *out) {
    for (int64_t k = 0; k < n; ++k) {
        const int32_t r = rgb[3 * k], g = rgb[3 * k + 1], bl = rgb[3 * k + 2];
        out[k] = window_inside(a, r, g, bl) || window_inside(b, r, g, bl) ? 1 : 0;
    }
}

void classify_pixels_plain(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
    for (int64_t k = 0; k < n; ++k)
        out[k] = window_inside(b, rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]) ? 1 : 0;
}

void grey_pixels_plain(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
    for (int64_t k = 0; k < n; ++k) out[k] = window_grey(b, rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]);
}

namespace {

bool has_pixels(const image_view &image) {
    return image.data != nullptr && image.shape[0] > 0 && image.shape[1] > 0;
}

// Whether the output is written densely (byte y*W + x for pixel (y, x)).
bool dense_output(const mask_view &output, int64_t pixels) {
    return output.c_contiguous() && output.size() >= pixels;
}

// Runs a row loop over the image, walking rows and pixels of both arrays by
// their strides.  Rows that are packed on both sides go straight to the row
// loop; any other row is gathered and scattered in small blocks.
void run_rows(const image_view &image, const mask_view &output, const lch_bounds &b, pixel_row_fn row_fn) {
    const int64_t h = image.shape[0], w = image.shape[1];
    const bool dense = dense_output(output, h * w);
    const bool image_packed_rows = image.strides[2] == 1 && (w == 1 || image.strides[1] == 3);

    if (dense && image_packed_rows && (h == 1 || image.strides[0] == 3 * w)) {
        row_fn(image.data, h * w, b, output.data);
        return;
    }

    const bool output_packed_rows = dense || w == 1 || output.strides[1] == 1;
    constexpr int64_t block = 256;
    uint8_t rgb[3 * block];
    uint8_t res[block];
    for (int64_t y = 0; y < h; ++y) {
        const uint8_t *src = image.row(y);
        uint8_t *dst = dense ? output.data + y * w : output.row(y);
        if (image_packed_rows && output_packed_rows) {
            row_fn(src, w, b, dst);
            continue;
        }
        for (int64_t x0 = 0; x0 < w; x0 += block) {
            const int64_t count = w - x0 < block ? w - x0 : block;
            const uint8_t *packed;
            if (image_packed_rows) {
                packed = src + 3 * x0;
            } else {
                for (int64_t k = 0; k < count; ++k) {
                    const uint8_t *p = image.at(y, x0 + k);
                    rgb[3 * k] = p[0];
                    rgb[3 * k + 1] = p[image.strides[2]];
                    rgb[3 * k + 2] = p[2 * image.strides[2]];
                }
                packed = rgb;
            }
            if (output_packed_rows) {
                row_fn(packed, count, b, dst + x0);
            } else {
                row_fn(packed, count, b, res);
                for (int64_t k = 0; k < count; ++k) *output.at(y, x0 + k) = res[k];
            }
        }
    }
}

uint32_t run_image(const image_view &image, const mask_view &output, const lch_bounds &b, pixel_row_fn row_fn) {
    if (!has_pixels(image)) return 0;
    if (check_colour_arrays(image, output)) return 0;
    run_rows(image, output, b, row_fn);
    return static_cast<uint32_t>(image.shape[0]) * static_cast<uint32_t>(image.shape[1]);
}

}  // namespace

fault check_colour_arrays(const image_view &image, const mask_view &output) {
    if (!has_pixels(image)) return {};
    if (image.shape[2] != 3) return fault::value("image must have 3 channels in its last axis");
    if (output.data == nullptr) return fault::type("output array is None but the image is not empty");
    const int64_t h = image.shape[0], w = image.shape[1];
    if (dense_output(output, h * w)) return {};
    if (output.shape[0] >= h && output.shape[1] >= w) return {};
    return fault::value("output array is smaller than the image");
}

uint32_t mask_image_cy_impl(const image_view &image, const mask_view &output, const lch_bounds &b) {
    return run_image(image, output, b, colour_kernels_best().classify);
}

uint32_t selective_grayscale_impl(const image_view &image, const mask_view &output, const lch_bounds &b) {
    return run_image(image, output, b, colour_kernels_best().grey);
}

}  // namespace orbisect
