// What StoreLink's methods tell about themselves: __name__, __qualname__,
// __defaults__, __annotations__, __globals__ and a __code__ that lets inspect
// and typing read their signatures as they read a Python function's.
#include "function_object.hpp"

#include <structmember.h>

#include <cstddef>

namespace store_link {

namespace {

// __name__, __qualname__ and __annotations__: an object field that only
// takes values of one kind, with CPython's message for anything else. A
// field that the GC has cleared reads as a new empty value of its kind, as
// CPython's functions read after clear (gh-91636).
struct CheckedField {
    size_t offset;
    int (*accepts)(PyObject *);
    PyObject *(*make_empty)();
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

PyObject *
empty_text()
{
    return PyUnicode_New(0, 0);
}

const CheckedField name_field = {offsetof(FunctionObject, name), is_text,
                                 empty_text,
                                 "__name__ must be set to a string object"};
const CheckedField qualname_field = {
    offsetof(FunctionObject, qualname), is_text, empty_text,
    "__qualname__ must be set to a string object"};
const CheckedField annotations_field = {
    offsetof(FunctionObject, annotations), is_dict, PyDict_New,
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
    if (field_of(self, closure) == nullptr) {
        Ref empty = Ref::steal(
            static_cast<const CheckedField *>(closure)->make_empty());
        if (!empty) {
            return nullptr;
        }
        // The allocation may have run finalizers that set the field.
        if (field_of(self, closure) == nullptr) {
            field_of(self, closure) = empty.release();
        }
    }
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
    // The GC may have cleared the field.
    Py_XSETREF(field_of(self, closure), value);
    return 0;
}

PyObject *
function_get_defaults(PyObject *self, void *)
{
    FunctionObject *func = as_function(self);
    // None also once the GC has cleared the function, as CPython's read.
    PyObject *defaults = func->spec->ndefaults && func->defaults != nullptr
                             ? func->defaults
                             : Py_None;
    Py_INCREF(defaults);
    return defaults;
}

PyObject *
function_get_kwdefaults(PyObject *, void *)
{
    Py_RETURN_NONE;
}

#if STORE_LINK_HAS_ANNOTATE
// __annotate__(format), for annotationlib and functools.wraps: the annotation
// texts in a new dict, whatever the format asked for, since texts are what
// each of them gives for stringized annotations. annotationlib's fallbacks
// for a format that raises NotImplementedError rebuild a Python function's
// code, which this method has none of.
PyObject *
annotate_call(PyObject *self, PyObject *format)
{
    long value = PyLong_AsLong(format);
    if (value == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    // VALUE, VALUE_WITH_FAKE_GLOBALS, FORWARDREF, STRING
    if (value < 1 || value > 4) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    Ref annotations = Ref::steal(function_get_field(
        self, const_cast<CheckedField *>(&annotations_field)));
    if (!annotations) {
        return nullptr;
    }
    return PyDict_Copy(annotations.get());
}

PyMethodDef annotate_def = {"__annotate__", annotate_call, METH_O, nullptr};

PyObject *
function_get_annotate(PyObject *self, void *)
{
    return PyCFunction_NewEx(&annotate_def, self, nullptr);
}
#endif

}  // namespace

PyGetSetDef function_getset[] = {
    {"__name__", function_get_field, function_set_field, nullptr,
     const_cast<CheckedField *>(&name_field)},
    {"__qualname__", function_get_field, function_set_field, nullptr,
     const_cast<CheckedField *>(&qualname_field)},
    {"__defaults__", function_get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_field, function_set_field, nullptr,
     const_cast<CheckedField *>(&annotations_field)},
#if STORE_LINK_HAS_ANNOTATE
    {"__annotate__", function_get_annotate, nullptr, nullptr, nullptr},
#endif
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
    if (!empty) {
        return nullptr;
    }
    Ref varnames = Ref::steal(PyTuple_New(spec.nparams));
    if (!varnames) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < spec.nparams; i++) {
        Py_INCREF(param_names[i]);
        PyTuple_SET_ITEM(varnames.get(), i, param_names[i]);
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) {
        return nullptr;
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return nullptr;
    }
    Ref fields = Ref::steal(Py_BuildValue(
        "{s:n,s:n,s:O}", "co_argcount", spec.nparams, "co_nlocals",
        spec.nparams, "co_varnames", varnames.get()));
    if (!fields) {
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
build_defaults(const MethodSpec &spec, PyObject *globals)
{
    Ref defaults = Ref::steal(PyTuple_New(spec.ndefaults));
    if (!defaults) {
        return nullptr;
    }
    const Param *first = spec.params + (spec.nparams - spec.ndefaults);
    for (Py_ssize_t i = 0; i < spec.ndefaults; i++) {
        PyObject *value = first[i].default_value.make(globals);
        if (value == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(defaults.get(), i, value);
    }
    return defaults.release();
}

}  // namespace store_link
