// The function type of StoreLink's methods: a vectorcall method descriptor,
// as CPython's own functions are, with a signature table instead of code.
#include "function_object.hpp"

#include <cassert>
#include <cstddef>

namespace store_link {

namespace {

PyObject *
function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames)
{
    const FunctionObject *func = as_function(callable);
    // A function that the GC has cleared, or is clearing, can still be
    // reached from a finalizer; a call needs every field that clear empties.
    if (func->state == nullptr || func->globals == nullptr ||
        func->defaults == nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "%.200s() was cleared by the garbage collector and can "
                     "no longer be called",
                     func->spec->name);
        return nullptr;
    }
    PyObject *result =
        call_function(func, args, PyVectorcall_NARGS(nargsf), kwnames);
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
    return PyUnicode_FromFormat("<function %V at %p>",
                                as_function(self)->qualname, "", self);
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
    // NULL when creating the function failed before the name was set.
    Py_XSETREF(name, empty);
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

}  // namespace

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(
        nullptr, 0) "orba_sdk.redis.store_link.StoreLinkFunction",  // tp_name
    sizeof(FunctionObject),  // tp_basicsize
};

PyObject *
function_new(const MethodSpec &spec, PyObject *module, const char *class_name)
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
    func->defaults = build_defaults(spec, func->globals);
    if (func->defaults == nullptr) {
        return nullptr;
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
