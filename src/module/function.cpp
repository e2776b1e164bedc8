// The native function type: vectorcall, argument binding by position and
// keyword, and the attributes that introspection reads.
#include "module/function.hpp"

#include <structmember.h>

#include "module/ref.hpp"
#include "module/traceback.hpp"

namespace orbisect::py {
namespace {

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const function_spec *spec;
    int required;                      // parameters without default
    PyObject *name;                    // interned
    PyObject *qualname;
    PyObject *module_name;
    PyObject *defaults;                // tuple, or nullptr when none
    PyObject *code;                    // for inspect.signature()
    PyObject *params[max_params];      // interned parameter names
    PyObject *default_of[max_params];  // default per parameter, or nullptr
};

// "f() takes exactly 4 positional arguments (3 given)" and its variants.
void raise_count(const function_object *f, Py_ssize_t given) {
    const int min = f->required, max = f->spec->param_count;
    Py_ssize_t expected;
    const char *how;
    if (given < min) {
        expected = min;
        how = "at least";
    } else {
        expected = max;
        how = "at most";
    }
    if (min == max) how = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->spec->name, how, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter that keyword `key` names, or -1.
int param_index(const function_object *f, PyObject *key) {
    const int count = f->spec->param_count;
    for (int i = 0; i < count; ++i)
        if (f->params[i] == key) return i;
    if (!PyUnicode_Check(key)) return -1;
    for (int i = 0; i < count; ++i)
        if (PyUnicode_Compare(f->params[i], key) == 0) return i;
    return -1;
}

// Value of the keyword naming `param`, or nullptr.
PyObject *keyword_value(PyObject *param, PyObject *kwnames, PyObject *const *values,
                        Py_ssize_t nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == param) return values[k];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0) return values[k];
    }
    return nullptr;
}

// Binds positional and keyword arguments to the parameters (borrowed).
bool bind(const function_object *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject **bound) {
    const int count = f->spec->param_count;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < f->required || nargs > count) {
            raise_count(f, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
        for (int i = static_cast<int>(nargs); i < count; ++i) bound[i] = f->default_of[i];
        return true;
    }
    if (nargs > count) {
        raise_count(f, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    Py_ssize_t matched = 0;
    for (int i = static_cast<int>(nargs); i < count; ++i) {
        PyObject *value = keyword_value(f->params[i], kwnames, args + nargs, nkw);
        if (value) {
            bound[i] = value;
            ++matched;
        } else if (i < f->required) {
            raise_count(f, i);
            return false;
        } else {
            bound[i] = f->default_of[i];
        }
    }
    if (matched == nkw) return true;
    // Some keywords were not used: say why, for the first of them.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->spec->name);
            return false;
        }
        const int index = param_index(f, key);
        if (index >= nargs) continue;
        if (index >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f->spec->name, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f->spec->name, key);
        return false;
    }
    return true;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    auto *f = reinterpret_cast<function_object *>(self);
    PyObject *bound[max_params];
    PyObject *result = nullptr;
    if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) result = f->spec->entry(bound);
    if (!result) add_traceback_entry(f->spec->name, true);
    return result;
}

void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<function_object *>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module_name);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->code);
    for (int i = 0; i < max_params; ++i) {
        Py_XDECREF(f->params[i]);
        Py_XDECREF(f->default_of[i]);
    }
    Py_TYPE(self)->tp_free(self);
}

PyObject *function_repr(PyObject *self) {
    auto *f = reinterpret_cast<function_object *>(self);
    return PyUnicode_FromFormat("<function orbisect.%s at %p>", f->spec->name, self);
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *get_defaults(PyObject *self, void *) {
    PyObject *d = reinterpret_cast<function_object *>(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(function_object, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(function_object, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(function_object, module_name), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(function_object, code), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(function_object, vectorcall), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "orbisect.native_function",
    sizeof(function_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyObject *function_type = nullptr;

// An empty code object whose argument names and count describe the
// parameters, so that inspect.signature() sees them as a function's.
PyObject *make_code(const function_spec &spec, PyObject *names) {
    ref empty(reinterpret_cast<PyObject *>(PyCode_NewEmpty("orbisect", spec.name, 0)));
    if (!empty) return nullptr;
    ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    ref kwargs(Py_BuildValue("{s:i,s:i,s:O,s:s,s:s}", "co_argcount", spec.param_count,
                             "co_nlocals", spec.param_count, "co_varnames", names, "co_name",
                             spec.name, "co_qualname", spec.name));
    if (!kwargs) return nullptr;
    ref noargs(PyTuple_New(0));
    if (!noargs) return nullptr;
    return PyObject_Call(replace.get(), noargs.get(), kwargs.get());
}

}  // namespace

PyObject *make_function(const function_spec &spec) {
    if (!function_type) {
        function_type = PyType_FromSpec(&function_type_spec);
        if (!function_type) return nullptr;
    }
    auto *f = PyObject_New(function_object, reinterpret_cast<PyTypeObject *>(function_type));
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->required = 0;
    f->name = f->qualname = f->module_name = f->defaults = f->code = nullptr;
    for (int i = 0; i < max_params; ++i) f->params[i] = f->default_of[i] = nullptr;
    ref self(reinterpret_cast<PyObject *>(f));

    f->name = PyUnicode_InternFromString(spec.name);
    f->module_name = PyUnicode_InternFromString("orbisect");
    ref names(PyTuple_New(spec.param_count));
    if (!f->name || !f->module_name || !names) return nullptr;
    f->qualname = Py_NewRef(f->name);
    for (int i = 0; i < spec.param_count; ++i) {
        const param &p = spec.params[i];
        f->params[i] = PyUnicode_InternFromString(p.name);
        if (!f->params[i]) return nullptr;
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(f->params[i]));
        switch (p.kind) {
        case param_default::required: f->required = i + 1; break;
        case param_default::none: f->default_of[i] = Py_NewRef(Py_None); break;
        case param_default::int_value:
            f->default_of[i] = PyLong_FromLong(p.value);
            if (!f->default_of[i]) return nullptr;
            break;
        }
    }
    if (f->required < spec.param_count) {
        f->defaults = PyTuple_New(spec.param_count - f->required);
        if (!f->defaults) return nullptr;
        for (int i = f->required; i < spec.param_count; ++i)
            PyTuple_SET_ITEM(f->defaults, i - f->required, Py_NewRef(f->default_of[i]));
    }
    f->code = make_code(spec, names.get());
    if (!f->code) return nullptr;
    return self.release();
}

}  // namespace orbisect::py
