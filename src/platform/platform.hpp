// The few services the module takes from the C runtime: the calendar clock
// and the runtime's pseudo-random generator.
#pragma once

#include <cstdint>

namespace orbisect::platform {

// Seeds the C runtime's generator with the current time in whole seconds,
// truncated to 32 bits.
void seed_random_from_clock();

// One draw from the C runtime's generator, reduced to 15 bits (0..32767) so
// that it has the same range on every platform.
uint32_t draw_random15();

}  // namespace orbisect::platform
