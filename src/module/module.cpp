// Module start-up: the multi-phase definition, the one-interpreter and
// one-module guards, and the exec steps that fill the namespace.
#include "module/function.hpp"
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
    PyObject *value = PyObject_GetAttrString(spec, attr);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    int rc = 0;
    if (!(skip_none && value == Py_None)) rc = PyObject_SetAttrString(module, name, value);
    Py_DECREF(value);
    return rc == 0;
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

    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    if (!copy_spec_attr(spec, module, "loader", "__loader__", false) ||
        !copy_spec_attr(spec, module, "origin", "__file__", false) ||
        !copy_spec_attr(spec, module, "parent", "__package__", false) ||
        !copy_spec_attr(spec, module, "submodule_search_locations", "__path__", true)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
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
    if (!value) return false;
    const int rc = PyDict_SetItemString(dict, name, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject *import_named_tuple(PyObject *dict) {
    PyObject *fromlist = Py_BuildValue("(s)", "NamedTuple");
    if (!fromlist) return nullptr;
    PyObject *typing = PyImport_ImportModuleLevel("typing", dict, nullptr, fromlist, 0);
    Py_DECREF(fromlist);
    if (!typing) return nullptr;
    PyObject *cls = PyObject_GetAttrString(typing, "NamedTuple");
    Py_DECREF(typing);
    if (!cls && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyObject *missing = PyUnicode_FromString("NamedTuple");
        if (missing) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", missing);
            Py_DECREF(missing);
        }
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
    PyObject *orig_bases = PyTuple_Pack(1, base);
    PyObject *bases = nullptr, *ns = nullptr, *annotations = nullptr, *cls = nullptr;
    PyObject *meta = nullptr;
    if (!orig_bases) return nullptr;
    // Resolve the bases the way a class statement does.
    PyObject *entries = PyObject_GetAttrString(base, "__mro_entries__");
    if (entries) {
        bases = PyObject_CallOneArg(entries, orig_bases);
        Py_DECREF(entries);
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        bases = Py_NewRef(orig_bases);
    }
    if (!bases) goto done;
    if (!PyTuple_Check(bases) || PyTuple_GET_SIZE(bases) == 0) {
        PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a non-empty tuple");
        goto done;
    }
    meta = reinterpret_cast<PyObject *>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)));
    annotations = Py_BuildValue("{s:s,s:s,s:s}", "M", "np.ndarray", "i", "tuple", "c", "tuple");
    ns = Py_BuildValue("{s:s,s:s,s:O,s:O}", "__module__", "orbisect", "__qualname__", "LCHBounds",
                       "__annotations__", annotations, "__orig_bases__", orig_bases);
    if (!annotations || !ns) goto done;
    cls = PyObject_CallFunction(meta, "sOO", "LCHBounds", bases, ns);
done:
    Py_XDECREF(orig_bases);
    Py_XDECREF(bases);
    Py_XDECREF(annotations);
    Py_XDECREF(ns);
    return cls;
}

// Steps after adoption; false with an exception set on failure.
bool exec_steps(PyObject *module) {
    PyObject *dict = PyModule_GetDict(module);
    if (!dict) return false;
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (!bind_new(dict, "__builtins__", builtins)) return false;
    if (!warn_on_version_mismatch()) return false;

    PyObject *modules = PyImport_GetModuleDict();
    PyObject *name = PyUnicode_FromString("orbisect");
    if (!name) return false;
    const int has = PyDict_Contains(modules, name);
    if (has < 0 || (has == 0 && PyDict_SetItem(modules, name, module) < 0)) {
        Py_DECREF(name);
        return false;
    }
    Py_DECREF(name);

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
