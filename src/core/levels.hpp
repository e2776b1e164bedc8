// Instruction-set levels of the vectorised kernels.  Each kernel source that
// is built per level (see cmake/levels.cmake) exposes its functions in
// namespace orbisect::<level>; a subsystem's dispatcher picks a level's table
// with best_level() and tests can ask for every supported level directly.
//
// x86-64 has four levels (baseline, v2, v3 with AVX2, v4 with AVX-512);
// aarch64 has two: baseline, the sources as written (which the compiler
// vectorises with NEON, part of every aarch64 processor), and neon, where
// the hot loops are hand-written with NEON intrinsics.  Other processors
// have the baseline only.
#pragma once

namespace orbisect {

#if defined(__x86_64__)
enum class isa_level { baseline = 0, v2 = 1, v3 = 2, v4 = 3 };
constexpr int isa_level_count = 4;
#elif defined(__aarch64__)
enum class isa_level { baseline = 0, neon = 1 };
constexpr int isa_level_count = 2;
#else
enum class isa_level { baseline = 0 };
constexpr int isa_level_count = 1;
#endif

// Whether this build contains code for the level.
bool level_built(isa_level level);
// Whether this machine can run the level's code (and it is built).
bool level_supported(isa_level level);
// The highest supported level, decided once (at most the one named by the
// environment variable ORBISECT_MAX_LEVEL, when it names one).
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
#elif defined(__aarch64__)
#define ORBISECT_DECLARE_LEVELS(ret, name)       \
    namespace orbisect::baseline { ret name(); } \
    namespace orbisect::neon { ret name(); }
#define ORBISECT_PICK_LEVEL(level, name) \
    ((level) == ::orbisect::isa_level::neon ? ::orbisect::neon::name() : ::orbisect::baseline::name())
#else
#define ORBISECT_DECLARE_LEVELS(ret, name) \
    namespace orbisect::baseline { ret name(); }
#define ORBISECT_PICK_LEVEL(level, name) (((void)(level)), ::orbisect::baseline::name())
#endif
