// Runs every registered kernel test; the last line is "N passed, N failed".
#include <cstdio>

#include "core/levels.hpp"
#include "harness.hpp"

namespace native_tests {

std::vector<test_case> &registry() {
    static std::vector<test_case> tests;
    return tests;
}

static int failures_in_test = 0;

void record_failure(const char *file, int line, const std::string &what) {
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    ++failures_in_test;
}

}  // namespace native_tests

int main() {
    using namespace native_tests;
    std::printf("best instruction set: %s\n", orbisect::level_name(orbisect::best_level()));
    std::printf("levels tested against the plain loops:");
    for (int l = 0; l < orbisect::isa_level_count; ++l)
        if (orbisect::level_supported(static_cast<orbisect::isa_level>(l)))
            std::printf(" %s", orbisect::level_name(static_cast<orbisect::isa_level>(l)));
    std::printf("\n");
    int passed = 0, failed = 0;
    for (const test_case &t : registry()) {
        failures_in_test = 0;
        t.run();
        if (failures_in_test == 0) {
            ++passed;
            std::printf("PASS %s\n", t.name);
        } else {
            ++failed;
            std::printf("FAIL %s\n", t.name);
        }
    }
    std::printf("native: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
