// Module start-up: the multi-phase definition, the one-interpreter and
// one-module guards, and the exec steps that fill the namespace.
#include "module/function.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"
#include "platform/platform.hpp"

namespace orbisect::py {
namespace {

// Shared by the whole process, never torn down.
struct module_record {
    int64_t interpreter_id = -1;
    PyObject *adopted = nullptr;  // the module once its exec step ran
    PyObject *np = nullptr;
    PyObject *lch_bounds = nullptr;
};
module_record record;

constexpr int built_major = 3, built_minor = 12;

// Copies spec.<attr> to module.<name>; a spec without the attribute is fine.
bool copy_spec_attr(PyObject *spec, PyObject *module, const char *attr, const char *name,
                    bool skip_none) {
    ref value(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module, name, value.get()) == 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (record.interpreter_id == -1) {
        record.interpreter_id = id;
    } else if (record.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (record.adopted) return Py_NewRef(record.adopted);

    ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attr(spec, module.get(), "loader", "__loader__", false) ||
        !copy_spec_attr(spec, module.get(), "origin", "__file__", false) ||
        !copy_spec_attr(spec, module.get(), "parent", "__package__", false) ||
        !copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

bool warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == built_major && minor == built_minor) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  built_major, built_minor, "orbisect", "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// Sets `name` in the namespace, taking the reference to `value`.
bool bind_new(PyObject *dict, const char *name, PyObject *value) {
    ref owned(value);
    return owned && PyDict_SetItemString(dict, name, owned.get()) == 0;
}

PyObject *import_named_tuple(PyObject *dict) {
    ref fromlist(Py_BuildValue("(s)", "NamedTuple"));
    if (!fromlist) return nullptr;
    ref typing(PyImport_ImportModuleLevel("typing", dict, nullptr, fromlist.get(), 0));
    if (!typing) return nullptr;
    PyObject *cls = PyObject_GetAttrString(typing.get(), "NamedTuple");
    if (!cls && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ref missing(PyUnicode_FromString("NamedTuple"));
        if (missing) PyErr_Format(PyExc_ImportError, "cannot import name %S", missing.get());
    }
    return cls;
}

// class LCHBounds(NamedTuple): M: "np.ndarray"; i: "tuple"; c: "tuple"
PyObject *make_lch_bounds_class(PyObject *dict) {
    PyObject *base = PyDict_GetItemString(dict, "NamedTuple");
    if (!base) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", "NamedTuple");
        return nullptr;
    }
    ref orig_bases(PyTuple_Pack(1, base));
    if (!orig_bases) return nullptr;
    // Resolve the bases the way a class statement does.
    ref bases;
    ref entries(PyObject_GetAttrString(base, "__mro_entries__"));
    if (entries) {
        bases = ref(PyObject_CallOneArg(entries.get(), orig_bases.get()));
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        bases = borrowed(orig_bases.get());
    }
    if (!bases) return nullptr;
    if (!PyTuple_Check(bases.get()) || PyTuple_GET_SIZE(bases.get()) == 0) {
        PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a non-empty tuple");
        return nullptr;
    }
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)));
    ref annotations(Py_BuildValue("{s:s,s:s,s:s}", "M", "np.ndarray", "i", "tuple", "c", "tuple"));
    if (!annotations) return nullptr;
    ref ns(Py_BuildValue("{s:s,s:s,s:O,s:O}", "__module__", "orbisect", "__qualname__",
                         "LCHBounds", "__annotations__", annotations.get(), "__orig_bases__",
                         orig_bases.get()));
    if (!ns) return nullptr;
    return PyObject_CallFunction(meta, "sOO", "LCHBounds", bases.get(), ns.get());
}

// Steps after adoption; false with an exception set on failure.
bool exec_steps(PyObject *module) {
    PyObject *dict = PyModule_GetDict(module);
    if (!dict) return false;
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (!bind_new(dict, "__builtins__", builtins)) return false;
    if (!warn_on_version_mismatch()) return false;

    PyObject *modules = PyImport_GetModuleDict();
    ref name(PyUnicode_FromString("orbisect"));
    if (!name) return false;
    const int has = PyDict_Contains(modules, name.get());
    if (has < 0 || (has == 0 && PyDict_SetItem(modules, name.get(), module) < 0)) return false;

    PyObject *np = PyImport_ImportModule("numpy");
    if (!np) return false;
    Py_XSETREF(record.np, Py_NewRef(np));
    if (!bind_new(dict, "np", np)) return false;
    if (!bind_new(dict, "NamedTuple", import_named_tuple(dict))) return false;

    platform::seed_random_from_clock();

    PyObject *cls = make_lch_bounds_class(dict);
    if (!cls) return false;
    Py_XSETREF(record.lch_bounds, Py_NewRef(cls));
    if (!bind_new(dict, "LCHBounds", cls)) return false;

    for (int i = 0; i < function_count; ++i)
        if (!bind_new(dict, function_table[i]->name, make_function(*function_table[i])))
            return false;
    return bind_new(dict, "__test__", PyDict_New());
}

int module_exec(PyObject *module) {
    if (record.adopted) {
        if (record.adopted == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'orbisect' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    record.adopted = Py_NewRef(module);
    if (exec_steps(module)) return 0;
    if (PyErr_Occurred())
        add_traceback_entry("init orbisect", false);
    else
        PyErr_SetString(PyExc_ImportError, "init orbisect");
    Py_CLEAR(record.adopted);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orbisect",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject *numpy_module() { return record.np; }
PyObject *lch_bounds_class() { return record.lch_bounds; }

}  // namespace orbisect::py

PyMODINIT_FUNC PyInit_orbisect(void) { return PyModuleDef_Init(&orbisect::py::module_def); }
