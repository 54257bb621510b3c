// The method function type: a vectorcall method descriptor whose declarative
// signature drives argument binding, conversion and every argument error.
#include "function.hpp"

#include <structmember.h>

#include <cassert>
#include <cstddef>

namespace store_link {

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodSpec *spec;
    ModuleState *state;  // lives as long as `module`
    PyObject *module;
    PyObject *globals;
    PyObject *param_names[kMaxParams];  // interned
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;
    PyObject *doc;
    PyObject *defaults;
    PyObject *annotations;
    PyObject *code;  // parameters only, for inspect and typing
    PyObject *dict;
};

inline FunctionObject *
as_function(PyObject *op)
{
    return reinterpret_cast<FunctionObject *>(op);
}

// ---- argument binding -----------------------------------------------------

int
raise_count_error(const MethodSpec &spec, Py_ssize_t given)
{
    Py_ssize_t required = spec.nparams - spec.ndefaults;
    Py_ssize_t expected = given < required ? required : spec.nparams;
    const char *bound = spec.ndefaults == 0 ? "exactly"
                        : given < required  ? "at least"
                                            : "at most";
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

// Fills call.args from the positional arguments, the keywords and the
// defaults. Missing required parameters are reported before keyword errors.
int
bind_arguments(const FunctionObject *func, PyObject *const *args,
               Py_ssize_t nargs, PyObject *kwnames, Call &call)
{
    const MethodSpec &spec = *func->spec;
    Py_ssize_t required = spec.nparams - spec.ndefaults;
    if (nargs > spec.nparams) {
        return raise_count_error(spec, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        call.args[i] = args[i];
    }
    for (Py_ssize_t i = nargs; i < spec.nparams; i++) {
        call.args[i] = nullptr;
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
            call.args[i] = keyword_value(func, i, kwvalues, kwnames);
            if (call.args[i] != nullptr) {
                unmatched--;
            }
            else if (i < required) {
                return raise_count_error(spec, i);
            }
        }
        for (Py_ssize_t i = nargs; i < required; i++) {
            if (call.args[i] == nullptr) {
                return raise_count_error(spec, i);
            }
        }
        if (unmatched > 0) {
            return raise_keyword_error(func, nargs, kwnames);
        }
    }
    for (Py_ssize_t i = required; i < spec.nparams; i++) {
        if (call.args[i] == nullptr) {
            call.args[i] = PyTuple_GET_ITEM(func->defaults, i - required);
        }
    }
    return 0;
}

// ---- argument conversion and type tests -----------------------------------

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
check_arguments(const MethodSpec &spec, Call &call)
{
    for (unsigned mask = spec.converted_mask; mask != 0; mask &= mask - 1) {
        int i = __builtin_ctz(mask);
        if (convert_argument(spec.params[i], call.args[i], call.converted[i]) <
            0) {
            return -1;
        }
    }
    for (unsigned mask = spec.tested_mask; mask != 0; mask &= mask - 1) {
        int i = __builtin_ctz(mask);
        if (test_argument_type(spec.params[i], call.args[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

// ---- the type's slots -----------------------------------------------------

PyObject *
call_function(const FunctionObject *func, PyObject *const *args,
              Py_ssize_t nargs, PyObject *kwnames)
{
    Call call{*func->state, func->globals};
    if (bind_arguments(func, args, nargs, kwnames, call) < 0) {
        return nullptr;
    }
    if (check_arguments(*func->spec, call) < 0) {
        return nullptr;
    }
    return func->spec->impl(call);
}

PyObject *
function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames)
{
    PyObject *result = call_function(as_function(callable), args,
                                     PyVectorcall_NARGS(nargsf), kwnames);
    // The error convention, checked by the assertion build.
    assert((result == nullptr) == (PyErr_Occurred() != nullptr));
    return result;
}

PyObject *
function_descr_get(PyObject *self, PyObject *obj, PyObject * /*type*/)
{
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject *
function_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<function %U at %p>",
                                as_function(self)->qualname, self);
}

int
function_traverse(PyObject *self, visitproc visit, void *arg)
{
    FunctionObject *func = as_function(self);
    Py_VISIT(func->module);
    Py_VISIT(func->globals);
    for (PyObject *name : func->param_names) {
        Py_VISIT(name);
    }
    // Their setters take str subclasses, which can hold references.
    Py_VISIT(func->name);
    Py_VISIT(func->qualname);
    Py_VISIT(func->module_name);
    Py_VISIT(func->doc);
    Py_VISIT(func->defaults);
    Py_VISIT(func->annotations);
    Py_VISIT(func->code);
    Py_VISIT(func->dict);
    return 0;
}

// As CPython does for its functions: a cleared name is still a string for
// repr and the getters, no longer one that a str subclass may have made
// hold other objects.
void
clear_name(PyObject *&name)
{
    PyObject *empty = PyUnicode_New(0, 0);  // the cached empty string
    if (empty == nullptr) {
        PyErr_Clear();
        return;
    }
    Py_SETREF(name, empty);
}

int
function_clear(PyObject *self)
{
    FunctionObject *func = as_function(self);
    Py_CLEAR(func->globals);
    Py_CLEAR(func->doc);
    Py_CLEAR(func->module_name);
    Py_CLEAR(func->defaults);
    Py_CLEAR(func->annotations);
    Py_CLEAR(func->dict);
    clear_name(func->name);
    clear_name(func->qualname);
    // Last: the module owns the state that `state` points into.
    func->state = nullptr;
    Py_CLEAR(func->module);
    return 0;
}

void
function_dealloc(PyObject *self)
{
    FunctionObject *func = as_function(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    for (PyObject *&name : func->param_names) {
        Py_CLEAR(name);
    }
    Py_CLEAR(func->name);
    Py_CLEAR(func->qualname);
    Py_CLEAR(func->code);
    PyObject_GC_Del(self);
}

// ---- attributes
// -------------------------------------------------------------

// __name__, __qualname__ and __annotations__: an object field that only
// takes values of one kind, with CPython's message for anything else.
struct CheckedField {
    size_t offset;
    int (*accepts)(PyObject *);
    const char *message;
};

int
is_text(PyObject *value)
{
    return PyUnicode_Check(value);
}

int
is_dict(PyObject *value)
{
    return PyDict_Check(value);
}

const CheckedField name_field = {offsetof(FunctionObject, name), is_text,
                                 "__name__ must be set to a string object"};
const CheckedField qualname_field = {
    offsetof(FunctionObject, qualname), is_text,
    "__qualname__ must be set to a string object"};
const CheckedField annotations_field = {
    offsetof(FunctionObject, annotations), is_dict,
    "__annotations__ must be set to a dict object"};

PyObject *&
field_of(PyObject *self, void *closure)
{
    auto *field = static_cast<const CheckedField *>(closure);
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) +
                                          field->offset);
}

PyObject *
function_get_field(PyObject *self, void *closure)
{
    PyObject *value = field_of(self, closure);
    Py_INCREF(value);
    return value;
}

int
function_set_field(PyObject *self, PyObject *value, void *closure)
{
    auto *field = static_cast<const CheckedField *>(closure);
    if (value == nullptr || !field->accepts(value)) {
        PyErr_SetString(PyExc_TypeError, field->message);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(field_of(self, closure), value);
    return 0;
}

PyObject *
function_get_defaults(PyObject *self, void *)
{
    FunctionObject *func = as_function(self);
    PyObject *defaults = func->spec->ndefaults ? func->defaults : Py_None;
    Py_INCREF(defaults);
    return defaults;
}

PyObject *
function_get_kwdefaults(PyObject *, void *)
{
    Py_RETURN_NONE;
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_field, function_set_field, nullptr,
     const_cast<CheckedField *>(&name_field)},
    {"__qualname__", function_get_field, function_set_field, nullptr,
     const_cast<CheckedField *>(&qualname_field)},
    {"__defaults__", function_get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_field, function_set_field, nullptr,
     const_cast<CheckedField *>(&annotations_field)},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0,
     nullptr},
    // What typing.get_type_hints and inspect evaluate the annotation texts in.
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY,
     nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr},
};

// An empty code object that declares the method's parameters: inspect then
// takes the method for a function (as it does Cython's) and builds its
// signature from the live __defaults__ and __annotations__.
PyObject *
build_code(const MethodSpec &spec, PyObject *module,
           PyObject *const *param_names)
{
    Ref empty = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(PyModule_GetName(module), spec.name, 0)));
    Ref varnames = Ref::steal(PyTuple_New(spec.nparams));
    if (!empty || !varnames) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < spec.nparams; i++) {
        Py_INCREF(param_names[i]);
        PyTuple_SET_ITEM(varnames.get(), i, param_names[i]);
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref fields = Ref::steal(Py_BuildValue(
        "{s:n,s:n,s:O}", "co_argcount", spec.nparams, "co_nlocals",
        spec.nparams, "co_varnames", varnames.get()));
    if (!replace || !no_args || !fields) {
        return nullptr;
    }
    return PyObject_Call(replace.get(), no_args.get(), fields.get());
}

// The annotations as a dict of source texts, in parameter order.
PyObject *
build_annotations(const MethodSpec &spec)
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < spec.nparams; i++) {
        const char *text = spec.params[i].annotation;
        if (text == nullptr) {
            continue;
        }
        Ref value = Ref::steal(PyUnicode_FromString(text));
        if (!value ||
            PyDict_SetItemString(annotations.get(), spec.params[i].name,
                                 value.get()) < 0) {
            return nullptr;
        }
    }
    if (spec.return_annotation != nullptr) {
        Ref value = Ref::steal(PyUnicode_FromString(spec.return_annotation));
        if (!value || PyDict_SetItemString(annotations.get(), "return",
                                           value.get()) < 0) {
            return nullptr;
        }
    }
    return annotations.release();
}

PyObject *
none_defaults(Py_ssize_t count)
{
    PyObject *defaults = PyTuple_New(count);
    if (defaults == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        Py_INCREF(Py_None);
        PyTuple_SET_ITEM(defaults, i, Py_None);
    }
    return defaults;
}

}  // namespace

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(
        nullptr, 0) "orba_sdk.redis.store_link.StoreLinkFunction",  // tp_name
    sizeof(FunctionObject),  // tp_basicsize
};

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

PyObject *
function_new(const MethodSpec &spec, PyObject *module, PyObject *defaults,
             const char *class_name)
{
    FunctionObject *func = PyObject_GC_New(FunctionObject, &FunctionType);
    if (func == nullptr) {
        return nullptr;
    }
    Ref owner = Ref::steal(reinterpret_cast<PyObject *>(func));
    func->vectorcall = function_vectorcall;
    func->spec = &spec;
    func->state = static_cast<ModuleState *>(PyModule_GetState(module));
    Py_INCREF(module);
    func->module = module;
    func->globals = PyModule_GetDict(module);
    Py_INCREF(func->globals);
    for (PyObject *&name : func->param_names) {
        name = nullptr;
    }
    func->name = func->qualname = func->module_name = func->doc = nullptr;
    func->defaults = func->annotations = func->code = func->dict = nullptr;
    for (Py_ssize_t i = 0; i < spec.nparams; i++) {
        func->param_names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (func->param_names[i] == nullptr) {
            return nullptr;
        }
    }
    func->name = PyUnicode_InternFromString(spec.name);
    if (func->name == nullptr) {
        return nullptr;
    }
    func->qualname = PyUnicode_FromFormat("%s.%s", class_name, spec.name);
    if (func->qualname == nullptr) {
        return nullptr;
    }
    func->module_name = PyUnicode_FromString(PyModule_GetName(module));
    if (func->module_name == nullptr) {
        return nullptr;
    }
    func->annotations = build_annotations(spec);
    if (func->annotations == nullptr) {
        return nullptr;
    }
    func->code = build_code(spec, module, func->param_names);
    if (func->code == nullptr) {
        return nullptr;
    }
    if (defaults == nullptr) {
        func->defaults = none_defaults(spec.ndefaults);
        if (func->defaults == nullptr) {
            return nullptr;
        }
    }
    else {
        Py_INCREF(defaults);
        func->defaults = defaults;
    }
    if (spec.doc == nullptr) {
        Py_INCREF(Py_None);
        func->doc = Py_None;
    }
    else {
        func->doc = PyUnicode_FromString(spec.doc);
        if (func->doc == nullptr) {
            return nullptr;
        }
    }
    PyObject_GC_Track(func);
    return owner.release();
}

int
function_type_ready()
{
    // C++17 has no designated initializers, so the slots are filled here.
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                            Py_TPFLAGS_METHOD_DESCRIPTOR |
                            Py_TPFLAGS_HAVE_VECTORCALL;
    FunctionType.tp_doc = "The function type of StoreLink's methods.";
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_members = function_members;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&FunctionType);
}

}  // namespace store_link
