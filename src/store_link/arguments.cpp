// Argument binding: positional arguments, keywords and defaults bound by a
// method's signature table, then converted and type-tested, with CPython's
// messages for every call that does not fit.
#include "function_object.hpp"

namespace store_link {

namespace {

// The arguments of one call after binding and conversion: args[0] is the
// object. Every entry is valid for the whole call (borrowed from the caller,
// the defaults, or owned by `converted`).
struct BoundArguments {
    PyObject *args[kMaxParams];
    Ref converted[kMaxParams];
};

// TypeError "Argument '...' has incorrect type (...)"; returns -1.
int raise_argument_type(const char *param, const char *expected,
                        PyObject *given, bool subclass);

int
raise_count_error(const MethodSpec &spec, Py_ssize_t given)
{
    Py_ssize_t required = spec.nparams - spec.ndefaults;
    Py_ssize_t expected = spec.nparams;
    const char *bound = "at most";
    if (given < required) {
        expected = required;
        bound = "at least";
    }
    if (spec.ndefaults == 0) {
        bound = "exactly";
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter called `key` among [first, nparams), or -1. Interned
// names match by pointer; anything else by value.
Py_ssize_t
find_param(const FunctionObject *func, PyObject *key, Py_ssize_t first,
           Py_ssize_t last)
{
    for (Py_ssize_t i = first; i < last; i++) {
        if (func->param_names[i] == key) {
            return i;
        }
    }
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    for (Py_ssize_t i = first; i < last; i++) {
        if (PyUnicode_Compare(func->param_names[i], key) == 0) {
            return i;
        }
    }
    return -1;
}

// The value passed by keyword for parameter `index`, or NULL (no error).
PyObject *
keyword_value(const FunctionObject *func, Py_ssize_t index,
              PyObject *const *kwvalues, PyObject *kwnames)
{
    PyObject *name = func->param_names[index];
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) {
            return kwvalues[k];
        }
    }
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) {
            return kwvalues[k];
        }
    }
    return nullptr;
}

// Called only when some keywords could not be bound: names the first
// offending keyword. Always returns -1 with an exception set.
int
raise_keyword_error(const FunctionObject *func, Py_ssize_t nargs,
                    PyObject *kwnames)
{
    const MethodSpec &spec = *func->spec;
    bool bound[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; i++) {
        bound[i] = true;
    }
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         spec.name);
            return -1;
        }
        Py_ssize_t index = find_param(func, key, 0, spec.nparams);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         spec.name, key);
            return -1;
        }
        // Taken by position, or by an earlier keyword that is equal to this
        // one without being the same object (a str subclass).
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
            return -1;
        }
        bound[index] = true;
    }
    PyErr_Format(PyExc_SystemError, "%s(): keywords could not be bound",
                 spec.name);
    return -1;
}

// Fills bound.args from the positional arguments, the keywords and the
// defaults. Missing required parameters are reported before keyword errors.
int
bind_arguments(const FunctionObject *func, PyObject *const *args,
               Py_ssize_t nargs, PyObject *kwnames, BoundArguments &bound)
{
    const MethodSpec &spec = *func->spec;
    Py_ssize_t required = spec.nparams - spec.ndefaults;
    if (nargs > spec.nparams) {
        return raise_count_error(spec, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        bound.args[i] = args[i];
    }
    for (Py_ssize_t i = nargs; i < spec.nparams; i++) {
        bound.args[i] = nullptr;
    }
    Py_ssize_t unmatched = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (unmatched == 0) {
        if (nargs < required) {
            return raise_count_error(spec, nargs);
        }
    }
    else {
        PyObject *const *kwvalues = args + nargs;
        for (Py_ssize_t i = nargs; i < spec.nparams && unmatched > 0; i++) {
            bound.args[i] = keyword_value(func, i, kwvalues, kwnames);
            if (bound.args[i] != nullptr) {
                unmatched--;
            }
            else if (i < required) {
                return raise_count_error(spec, i);
            }
        }
        for (Py_ssize_t i = nargs; i < required; i++) {
            if (bound.args[i] == nullptr) {
                return raise_count_error(spec, i);
            }
        }
        if (unmatched > 0) {
            return raise_keyword_error(func, nargs, kwnames);
        }
    }
    for (Py_ssize_t i = required; i < spec.nparams; i++) {
        if (bound.args[i] == nullptr) {
            bound.args[i] = PyTuple_GET_ITEM(func->defaults, i - required);
        }
    }
    return 0;
}

int
convert_argument(const Param &param, PyObject *&value, Ref &owner)
{
    switch (param.kind) {
    case ArgKind::Truth: {
        int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            return -1;
        }
        value = truth ? Py_True : Py_False;
        return 0;
    }
    case ArgKind::OptionalInt:
        if (value == Py_None) {
            return 0;
        }
        /* fall through */
    case ArgKind::Int:
        if (PyLong_CheckExact(value)) {
            return 0;
        }
        if (!PyNumber_Check(value)) {
            return raise_argument_type(param.name, "int", value, false);
        }
        owner = Ref::steal(PyNumber_Long(value));
        if (!owner) {
            return -1;
        }
        value = owner.get();
        return 0;
    default:
        return 0;
    }
}

int
test_argument_type(const Param &param, PyObject *value)
{
    switch (param.kind) {
    case ArgKind::Str:
        if (PyUnicode_CheckExact(value)) {
            return 0;
        }
        return raise_argument_type(param.name, "str", value,
                                   PyUnicode_Check(value));
    case ArgKind::OptionalDict:
        if (value == Py_None) {
            return 0;
        }
        /* fall through */
    case ArgKind::Dict:
        if (PyDict_CheckExact(value)) {
            return 0;
        }
        return raise_argument_type(param.name, "dict", value,
                                   PyDict_Check(value));
    case ArgKind::List:
        if (PyList_CheckExact(value)) {
            return 0;
        }
        return raise_argument_type(param.name, "list", value,
                                   PyList_Check(value));
    default:
        return 0;
    }
}

int
check_arguments(const MethodSpec &spec, BoundArguments &bound)
{
    for (unsigned mask = spec.converted_mask; mask != 0; mask &= mask - 1) {
        int i = lowest_set_bit(mask);
        if (convert_argument(spec.params[i], bound.args[i],
                             bound.converted[i]) < 0) {
            return -1;
        }
    }
    for (unsigned mask = spec.tested_mask; mask != 0; mask &= mask - 1) {
        int i = lowest_set_bit(mask);
        if (test_argument_type(spec.params[i], bound.args[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

PyObject *
call_function(const FunctionObject *func, PyObject *const *args,
              Py_ssize_t nargs, PyObject *kwnames)
{
    BoundArguments bound;
    if (bind_arguments(func, args, nargs, kwnames, bound) < 0) {
        return nullptr;
    }
    if (check_arguments(*func->spec, bound) < 0) {
        return nullptr;
    }
    Context cx{*func->state, func->globals};
    return func->spec->run(cx, bound.args);
}

namespace {

int
raise_argument_type(const char *param, const char *expected, PyObject *given,
                    bool subclass)
{
    Ref given_name = Ref::steal(type_name(Py_TYPE(given)));
    if (!given_name) {
        return -1;
    }
    const char *given_text = PyUnicode_AsUTF8(given_name.get());
    if (given_text == nullptr) {
        return -1;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got "
                 "%.200s)%s",
                 param, expected, given_text,
                 subclass ? ". Subclasses of built-in types are refused."
                          : "");
    return -1;
}

}  // namespace

}  // namespace store_link
