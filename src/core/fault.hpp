// How a kernel reports that it refuses its arguments.  The kernels know
// nothing of Python; the module turns a fault into the matching exception
// (type -> TypeError and value -> ValueError with `text`, index -> IndexError
// "Out of bounds on buffer access (axis N)" naming `axis`).
#pragma once

namespace orbisect {

enum class fault_kind { none, type, value, index };

struct fault {
    fault_kind kind = fault_kind::none;
    const char *text = nullptr;  // for type and value faults: the full message
    int axis = 0;                // for index faults

    explicit operator bool() const { return kind != fault_kind::none; }

    static fault type(const char *message) { return {fault_kind::type, message, 0}; }
    static fault value(const char *message) { return {fault_kind::value, message, 0}; }
    static fault index(int ax) { return {fault_kind::index, nullptr, ax}; }
};

}  // namespace orbisect
