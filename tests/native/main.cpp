// Runs every registered kernel test, or with --suite NAME those of
// test_NAME.cpp only; the last line is "N passed, N failed".  The kernel
// tests check every level directly; code that takes the kernels through
// their dispatch (the detection core) runs at best_level(), which
// ORBISECT_MAX_LEVEL caps, so each level is one run of its suite.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// "detect" for .../tests/native/test_detect.cpp and test_detect_ball.cpp.
static std::string suite_of(const char *file) {
    std::string name = file;
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    if (name.rfind("test_", 0) == 0) name.erase(0, 5);
    const size_t end = name.find_first_of("._");
    if (end != std::string::npos) name.erase(end);
    return name;
}

}  // namespace native_tests

int main(int argc, char **argv) {
    using namespace native_tests;
    const char *suite = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--suite") == 0) {
        suite = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: native_tests [--suite NAME]\n");
        return 2;
    }
    // A level asked for and not in effect would test the wrong code.
    const char *level = orbisect::level_name(orbisect::best_level());
    const char *wanted = std::getenv("ORBISECT_MAX_LEVEL");
    if (wanted != nullptr && std::strcmp(wanted, level) != 0) {
        std::fprintf(stderr, "native_tests: ORBISECT_MAX_LEVEL=%s is not a level of this machine (running %s)\n",
                     wanted, level);
        return 2;
    }
    std::printf("best instruction set: %s\n", level);
    if (suite == nullptr) {
        std::printf("levels tested against the plain loops:");
        for (int l = 0; l < orbisect::isa_level_count; ++l)
            if (orbisect::level_supported(static_cast<orbisect::isa_level>(l)))
                std::printf(" %s", orbisect::level_name(static_cast<orbisect::isa_level>(l)));
        std::printf("\n");
    }
    int passed = 0, failed = 0;
    for (const test_case &t : registry()) {
        if (suite != nullptr && suite_of(t.file) != suite) continue;
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
    if (passed + failed == 0) {
        std::printf("native: no test in suite %s\n", suite);
        return 1;
    }
    if (suite != nullptr) std::printf("suite %s checked at %s\n", suite, level);
    std::printf("native: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
