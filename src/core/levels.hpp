// Instruction-set levels of the vectorised kernels.  Each kernel source that
// is built per level (see cmake/levels.cmake) exposes its functions in
// namespace orbisect::<level>; a subsystem's dispatcher picks a level's table
// with best_level() and tests can ask for every supported level directly.
#pragma once

namespace orbisect {

enum class isa_level { baseline = 0, v2 = 1, v3 = 2, v4 = 3 };
constexpr int isa_level_count = 4;

// Whether this build contains code for the level (only baseline off x86-64).
bool level_built(isa_level level);
// Whether this machine can run the level's code (and it is built).
bool level_supported(isa_level level);
// The highest supported level, decided once.
isa_level best_level();
const char *level_name(isa_level level);

}  // namespace orbisect

// Declares the per-level copies of a table-returning function, e.g.
//   ORBISECT_DECLARE_LEVELS(const colour_kernels &, colour_table)
// declares orbisect::baseline::colour_table() ... orbisect::v4::colour_table().
#if defined(__x86_64__)
#define ORBISECT_DECLARE_LEVELS(ret, name)   \
    namespace orbisect::baseline { ret name(); } \
    namespace orbisect::v2 { ret name(); }       \
    namespace orbisect::v3 { ret name(); }       \
    namespace orbisect::v4 { ret name(); }
#define ORBISECT_PICK_LEVEL(level, name)                    \
    ((level) == ::orbisect::isa_level::v4   ? ::orbisect::v4::name()   \
     : (level) == ::orbisect::isa_level::v3 ? ::orbisect::v3::name()   \
     : (level) == ::orbisect::isa_level::v2 ? ::orbisect::v2::name()   \
                                            : ::orbisect::baseline::name())
#else
#define ORBISECT_DECLARE_LEVELS(ret, name) \
    namespace orbisect::baseline { ret name(); }
#define ORBISECT_PICK_LEVEL(level, name) (((void)(level)), ::orbisect::baseline::name())
#endif
