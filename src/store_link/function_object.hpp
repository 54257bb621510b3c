// The layout of StoreLink's function objects, shared by the files that make
// up the type: function.cpp (slots, creation), arguments.cpp (binding) and
// introspection.cpp (attributes).
#ifndef STORE_LINK_FUNCTION_OBJECT_HPP
#define STORE_LINK_FUNCTION_OBJECT_HPP

#include "function.hpp"

namespace store_link {

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

// arguments.cpp. Binds the arguments of a call by the function's signature,
// converts and tests them, and runs the operation. Returns a new reference,
// or NULL with an exception set.
PyObject *call_function(const FunctionObject *func, PyObject *const *args,
                        Py_ssize_t nargs, PyObject *kwnames);

// introspection.cpp.
extern PyGetSetDef function_getset[];
extern PyMemberDef function_members[];
// The annotations as a dict of source texts, in parameter order.
PyObject *build_annotations(const MethodSpec &spec);
// An empty code object that declares the method's parameters.
PyObject *build_code(const MethodSpec &spec, PyObject *module,
                     PyObject *const *param_names);
// The defaults of the trailing parameters that have one, made now.
PyObject *build_defaults(const MethodSpec &spec, PyObject *globals);

}  // namespace store_link

#endif
