// The one place where CPython versions differ (3.8 through 3.15), and the
// only file that names CPython's private API or compiler builtins. Each shim
// says which versions take which branch, the CPython change behind it, and
// where CPython 3.15 stands (as its 3.15.2 headers have it), so that the next
// version is a known path.
#ifndef STORE_LINK_COMPAT_HPP
#define STORE_LINK_COMPAT_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ref.hpp"

#include <cstring>

// 3.8 only. The vectorcall API was provisional in 3.8, under underscored
// names; bpo-39245 (3.9) made it public (in the limited API since 3.12,
// gh-98586). 3.14 and 3.15: the public names, which we use from 3.9 on (3.15
// keeps the underscored ones as aliases).
#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

// 3.8 only. PyMODINIT_FUNC did not mark the init function as exported, so
// -fvisibility=hidden hid it; bpo-11410 (3.9) added Py_EXPORTED_SYMBOL to it
// (since 3.13 in exports.h, gh-108765). 3.14 and 3.15: exported as in 3.9.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC                                                        \
    extern "C" __attribute__((visibility("default"))) PyObject *
#endif

// 3.12 on. gh-104108 (3.12) added the Py_mod_multiple_interpreters slot; an
// extension that declares it not supported is refused by isolated
// subinterpreters before it is created. Legacy subinterpreters still load
// it, and are refused by the module itself (on every version). 3.14 and
// 3.15: so.
#if PY_VERSION_HEX >= 0x030C0000
#define STORE_LINK_HAS_MULTIPLE_INTERPRETERS_SLOT 1
#else
#define STORE_LINK_HAS_MULTIPLE_INTERPRETERS_SLOT 0
#endif

// 3.14 on. PEP 649 and PEP 749 (gh-119180, 3.14) made a function's
// __annotate__ the source of its annotations: functools.update_wrapper copies
// __annotate__ and no longer __annotations__, so the wrapper of a callable
// without one has no annotations, and typing.get_type_hints finds none. 3.15:
// so.
#if PY_VERSION_HEX >= 0x030E0000
#define STORE_LINK_HAS_ANNOTATE 1
#else
#define STORE_LINK_HAS_ANNOTATE 0
#endif

namespace store_link {

// The index of the lowest set bit of a non-zero mask. GCC and Clang builtin.
inline int
lowest_set_bit(unsigned mask)
{
    return __builtin_ctz(mask);
}

// All versions. The attribute `name` found along the type's MRO, borrowed,
// or NULL (no error). May run a key's __eq__ of a type dict, so the caller
// owns `type` across it. Private: _PyType_Lookup, Include/cpython/object.h
// on 3.8 to 3.15, unchanged (3.13 added _PyType_LookupRef, a strong
// reference, beside it). No line has a public replacement: the PyType_Lookup
// proposed in gh-139847 is not in 3.15.
inline PyObject *
type_lookup(PyTypeObject *type, PyObject *name)
{
    return _PyType_Lookup(type, name);
}

// All versions. The instance dict of `obj`, owned, or an empty Ref when it
// has none (no error). Private: _PyObject_GetDictPtr, Include/cpython/
// object.h on 3.8 to 3.15, unchanged; from 3.11 on it materializes an
// instance's inline values into a dict. No line has a public replacement: the
// PyObject_GetDictPtr, then PyObject_GetDict, proposed in gh-139852 is not in
// 3.15. PyObject_GenericGetDict is public, but makes a dict for an object that
// has none, where this reports none.
inline Ref
instance_dict(PyObject *obj)
{
    PyObject **dictptr = _PyObject_GetDictPtr(obj);
    return Ref::new_ref(dictptr != nullptr ? *dictptr : nullptr);
}

// obj.name(*args[1:]) for args[0] = obj, without a bound method; nargsf
// counts the object. PyObject_VectorcallMethod is 3.9's (bpo-37337 added it
// privately, bpo-39245 made it public; limited API since 3.12, so 3.14 and
// 3.15 have it). 3.8 repeats the lookup of _PyObject_GetMethod: a method
// descriptor found on the type, and not shadowed by the instance dict, is
// called unbound; the descriptor and the dict are owned across the dict
// lookup, whose key comparisons may delete the one or replace the other.
inline PyObject *
vectorcall_method(PyObject *name, PyObject *const *args, size_t nargsf,
                  PyObject *kwnames)
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    PyObject *obj = args[0];
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        Ref type_owner = Ref::new_ref(reinterpret_cast<PyObject *>(type));
        Ref descr = Ref::new_ref(type_lookup(type, name));
        if (descr && PyType_HasFeature(Py_TYPE(descr.get()),
                                       Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            Ref dict = instance_dict(obj);
            PyObject *shadow = nullptr;
            if (dict) {
                shadow = PyDict_GetItemWithError(dict.get(), name);
            }
            if (shadow == nullptr) {
                if (PyErr_Occurred()) {
                    return nullptr;
                }
                return PyObject_Vectorcall(descr.get(), args, nargsf, kwnames);
            }
        }
    }
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) {
        return nullptr;
    }
    // args[0] may be borrowed for the call only if the caller allowed it.
    size_t nargs = PyVectorcall_NARGS(nargsf) - 1;
    return PyObject_Vectorcall(
        method.get(), args + 1,
        nargs | (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET), kwnames);
#endif
}

// The type's name, always a str: a new reference, or NULL with an exception
// set. Runs no Python code, so a metaclass cannot make it anything else.
// bpo-42035 (3.11) added PyType_GetName (limited API), still in 3.15; before,
// its body is repeated: a heap type's ht_name (whose setter takes only str),
// or a static type's tp_name after the last dot. Reading the __name__
// attribute instead would run a metaclass's property.
inline PyObject *
type_name(PyTypeObject *type)
{
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetName(type);
#else
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject *name = reinterpret_cast<PyHeapTypeObject *>(type)->ht_name;
        Py_INCREF(name);
        return name;
    }
    const char *dot = std::strrchr(type->tp_name, '.');
    return PyUnicode_FromString(dot != nullptr ? dot + 1 : type->tp_name);
#endif
}

// Takes the current exception (normalized, with its traceback) out of the
// thread state. gh-101578 (3.12) made the raised exception a single object
// (PyErr_GetRaisedException, limited API); before, a (type, value,
// traceback) triple, whose PyErr_Fetch/PyErr_Restore 3.12 deprecated (3.15
// still has them).
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

// Raises again an exception taken by fetch_exception; steals it. As above.
inline void
restore_exception(Ref exception)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject *value = exception.release();
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Up to 3.10, PyType_ClearCache() (sys._clear_type_cache()) restarted the
// version tag counter, so a changed type could get its old tag back; since
// bpo-44914 (3.11) a tag is never handed out twice (per interpreter from
// 3.12), and (type, tag) names one state of the type's namespace. 3.14 and
// 3.15: so.
#if PY_VERSION_HEX >= 0x030B0000
#define STORE_LINK_UNIQUE_VERSION_TAGS 1
#else
#define STORE_LINK_UNIQUE_VERSION_TAGS 0
#endif

// The type's version tag, or 0 while it has no valid one. Up to 3.12 a flag
// (Py_TPFLAGS_VALID_VERSION_TAG) said whether the tag was valid; gh-119462
// (3.13) made 0 mean "none" and left the flag unused. tp_version_tag and
// tp_flags are public fields of PyTypeObject, still in 3.15.
inline unsigned int
valid_version_tag(PyTypeObject *type)
{
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        return 0;
    }
    return type->tp_version_tag;
#endif
}

// The object a weak reference points to (a new reference), Py_None once it
// is gone, or NULL with an exception set. gh-105927 (3.13) added
// PyWeakref_GetRef and deprecated the borrowing PyWeakref_GetObject, which
// 3.14 still has and 3.15 removes (gh-133644): from 3.13 on the public
// replacement, before it the only API there is.
inline Ref
weakref_target(PyObject *ref)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *target;
    if (PyWeakref_GetRef(ref, &target) < 0) {
        return Ref();
    }
    if (target == nullptr) {
        return Ref::new_ref(Py_None);
    }
    return Ref::steal(target);
#else
    return Ref::new_ref(PyWeakref_GetObject(ref));
#endif
}

// Whether the calling thread runs in the main interpreter.
// PyInterpreterState_Main is public (not limited) on 3.8 to 3.15, in
// Include/cpython/pystate.h. bpo-39947 (3.9) added PyInterpreterState_Get
// (limited API); 3.8 reads the thread state's public `interp` field.
inline bool
is_main_interpreter()
{
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
    return PyThreadState_Get()->interp == PyInterpreterState_Main();
#endif
}

}  // namespace store_link

#endif
