// A minimal test registry for the kernel test program.  Each test belongs to
// the suite of its source file (test_detect.cpp: "detect"), so that one
// suite can be run alone (native_tests --suite detect).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace native_tests {

struct test_case {
    const char *name;
    void (*run)();
    const char *file;
};

std::vector<test_case> &registry();
void record_failure(const char *file, int line, const std::string &what);

struct registrar {
    registrar(const char *name, void (*run)(), const char *file) { registry().push_back({name, run, file}); }
};

}  // namespace native_tests

#define NATIVE_TEST(name)                                                    \
    static void name();                                                      \
    static ::native_tests::registrar name##_registrar(#name, &name, __FILE__); \
    static void name()

// Records a failure and leaves the test.
#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            ::native_tests::record_failure(__FILE__, __LINE__, #cond);       \
            return;                                                          \
        }                                                                    \
    } while (0)

#define CHECK_MSG(cond, msg)                                                 \
    do {                                                                     \
        if (!(cond)) {                                                       \
            ::native_tests::record_failure(__FILE__, __LINE__, (msg));       \
            return;                                                          \
        }                                                                    \
    } while (0)
