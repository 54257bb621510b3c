// The one place where CPython versions differ (3.8 through 3.13).
#ifndef STORE_LINK_COMPAT_HPP
#define STORE_LINK_COMPAT_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ref.hpp"

// bpo-37250 (3.9): the vectorcall API lost its leading underscores.
#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

// Before 3.9 PyMODINIT_FUNC did not mark the init function as exported,
// which -fvisibility=hidden then hides (3.9 added Py_EXPORTED_SYMBOL to it).
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC                                                        \
    extern "C" __attribute__((visibility("default"))) PyObject *
#endif

namespace store_link {

// bpo-37207 (3.9) added PyObject_VectorcallMethod; 3.8 goes through a bound
// method. args[0] is the object; nargsf counts it.
inline PyObject *
vectorcall_method(PyObject *name, PyObject *const *args, size_t nargsf,
                  PyObject *kwnames)
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    // The lookup of 3.9's _PyObject_GetMethod: a method descriptor found on
    // the type, and not shadowed by the instance dict, is called unbound.
    // Both the descriptor and the dict are owned across the dict lookup,
    // whose key comparisons may delete the one or replace the other.
    PyObject *obj = args[0];
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        Ref descr = Ref::new_ref(_PyType_Lookup(type, name));
        if (descr && PyType_HasFeature(Py_TYPE(descr.get()),
                                       Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            PyObject **dictptr = _PyObject_GetDictPtr(obj);
            Ref dict = Ref::new_ref(dictptr != nullptr ? *dictptr : nullptr);
            PyObject *shadow =
                dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
            if (shadow == nullptr) {
                if (PyErr_Occurred()) {
                    return nullptr;
                }
                return _PyObject_Vectorcall(descr.get(), args, nargsf,
                                            kwnames);
            }
        }
    }
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) {
        return nullptr;
    }
    size_t nargs = PyVectorcall_NARGS(nargsf) - 1;
    return _PyObject_Vectorcall(method.get(), args + 1,
                                nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                kwnames);
#endif
}

// bpo-42035 (3.11) added PyType_GetName. Returns a new reference, or NULL
// with an exception set.
inline PyObject *
type_name(PyTypeObject *type)
{
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetName(type);
#else
    return PyObject_GetAttrString((PyObject *)type, "__name__");
#endif
}

// gh-101578 (3.12) made the raised exception a single object. Takes the
// current exception (normalized, with its traceback) out of the thread state.
inline Ref
fetch_exception()
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Raises again an exception taken by fetch_exception; steals it.
inline void
restore_exception(Ref exception)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject *value = exception.release();
    PyObject *type = (PyObject *)Py_TYPE(value);
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Up to 3.10, PyType_ClearCache() (sys._clear_type_cache()) restarted the
// version tag counter, so a changed type could get its old tag back; from
// 3.11 on a tag is never handed out twice, and (type, tag) names one state of
// the type's namespace.
#if PY_VERSION_HEX >= 0x030B0000
#define STORE_LINK_UNIQUE_VERSION_TAGS 1
#else
#define STORE_LINK_UNIQUE_VERSION_TAGS 0
#endif

// The type's version tag, or 0 while it has no valid one. gh-101291 and
// related 3.12 changes made 0 mean "invalid"; before, a flag said so.
inline unsigned int
valid_version_tag(PyTypeObject *type)
{
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)
               ? type->tp_version_tag
               : 0;
#endif
}

// The object a weak reference points to (a new reference), Py_None once it
// is gone, or NULL with an exception set. gh-105927 (3.13) added
// PyWeakref_GetRef and deprecated the borrowing PyWeakref_GetObject.
inline Ref
weakref_target(PyObject *ref)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *target;
    if (PyWeakref_GetRef(ref, &target) < 0) {
        return Ref();
    }
    return target != nullptr ? Ref::steal(target) : Ref::new_ref(Py_None);
#else
    return Ref::new_ref(PyWeakref_GetObject(ref));
#endif
}

// bpo-35886 (3.9) added PyInterpreterState_Get.
inline int64_t
current_interpreter_id()
{
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
}

}  // namespace store_link

#endif
