#include "core/levels.hpp"

#include <cstdlib>
#include <cstring>

namespace orbisect {

bool level_built(isa_level level) {
    const int l = static_cast<int>(level);
    return l >= 0 && l < isa_level_count;
}

namespace {

bool runs_on_this_machine(isa_level level) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (level) {
    case isa_level::baseline: return true;
    case isa_level::v2: return __builtin_cpu_supports("x86-64-v2");
    case isa_level::v3: return __builtin_cpu_supports("x86-64-v3");
    case isa_level::v4: return __builtin_cpu_supports("x86-64-v4");
    }
    return false;
#else
    // Every aarch64 processor has NEON (Advanced SIMD).
    (void)level;
    return true;
#endif
}

}  // namespace

bool level_supported(isa_level level) { return level_built(level) && runs_on_this_machine(level); }

// ORBISECT_MAX_LEVEL=<name> (a level_name) caps the choice at that level, so
// that one machine can run every level's code through the whole library; an
// unknown name leaves the choice alone.  Every level gives the same results.
namespace {
int level_cap() {
    const char *cap = std::getenv("ORBISECT_MAX_LEVEL");
    if (cap == nullptr) return isa_level_count - 1;
    for (int l = 0; l < isa_level_count; ++l)
        if (std::strcmp(cap, level_name(static_cast<isa_level>(l))) == 0) return l;
    return isa_level_count - 1;
}
}  // namespace

isa_level best_level() {
    static const isa_level best = [] {
        for (int l = level_cap(); l > 0; --l)
            if (level_supported(static_cast<isa_level>(l))) return static_cast<isa_level>(l);
        return isa_level::baseline;
    }();
    return best;
}

const char *level_name(isa_level level) {
    switch (level) {
#if defined(__x86_64__)
    case isa_level::baseline: return "x86-64";
    case isa_level::v2: return "x86-64-v2";
    case isa_level::v3: return "x86-64-v3";
    case isa_level::v4: return "x86-64-v4";
#elif defined(__aarch64__)
    case isa_level::baseline: return "aarch64";
    case isa_level::neon: return "aarch64-neon";
#else
    case isa_level::baseline: return "baseline";
#endif
    }
    return "?";
}

}  // namespace orbisect
