#include "core/levels.hpp"

namespace orbisect {

bool level_built(isa_level level) {
#if defined(__x86_64__)
    (void)level;
    return true;
#else
    return level == isa_level::baseline;
#endif
}

bool level_supported(isa_level level) {
    if (!level_built(level)) return false;
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
    return true;
#endif
}

isa_level best_level() {
    static const isa_level best = [] {
        for (int l = isa_level_count - 1; l > 0; --l)
            if (level_supported(static_cast<isa_level>(l))) return static_cast<isa_level>(l);
        return isa_level::baseline;
    }();
    return best;
}

const char *level_name(isa_level level) {
    switch (level) {
    case isa_level::baseline: return "x86-64";
    case isa_level::v2: return "x86-64-v2";
    case isa_level::v3: return "x86-64-v3";
    case isa_level::v4: return "x86-64-v4";
    }
    return "?";
}

}  // namespace orbisect
