// Helpers that every operation of StoreLink uses.
#include "operations.hpp"

namespace store_link {

namespace {

// True when `type` defines no attribute `name` (no property, no class
// attribute), so that an instance's value can only come from its __dict__.
// Where version tags are unique, one verdict for all of StoreLink's instance
// attribute names is remembered for the last type seen, at its tag.
bool
type_leaves_state_to_instances(ModuleState &S, PyTypeObject *type,
                               PyObject *name)
{
#if STORE_LINK_UNIQUE_VERSION_TAGS
    (void)name;
    unsigned int version = valid_version_tag(type);
    if (version != 0 && type == S.plain_type &&
        version == S.plain_type_version) {
        return true;
    }
    // A key's __eq__ in the type's MRO may reassign __class__.
    Ref type_owner = Ref::new_ref(reinterpret_cast<PyObject *>(type));
    PyObject *const names[] = {S.str__use_thread, S.str__redis_client,
                               S.str__executor,   S.str__queue,
                               S.str__worker,     S.str__stop_evt};
    for (PyObject *instance_name : names) {
        if (_PyType_Lookup(type, instance_name) != nullptr) {
            return false;
        }
    }
    version = valid_version_tag(type);
    if (version == 0) {
        return false;
    }
    S.plain_type = type;
    S.plain_type_version = version;
    return true;
#else
    (void)S;
    Ref type_owner = Ref::new_ref(reinterpret_cast<PyObject *>(type));
    return _PyType_Lookup(type, name) == nullptr;
#endif
}

}  // namespace

Ref
instance_attr(const Call &call, PyObject *self, PyObject *name)
{
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_getattro == PyObject_GenericGetAttr &&
        type_leaves_state_to_instances(call.state, type, name)) {
        PyObject **dictptr = _PyObject_GetDictPtr(self);
        // A key's __eq__ may replace self.__dict__ during the lookup.
        Ref dict = Ref::new_ref(dictptr != nullptr ? *dictptr : nullptr);
        if (dict) {
            PyObject *value = PyDict_GetItemWithError(dict.get(), name);
            if (value != nullptr) {
                return Ref::new_ref(value);
            }
            if (PyErr_Occurred()) {
                return Ref();
            }
        }
    }
    // Missing, or an unusual type: getattr gives the exact result and error.
    return attr(self, name);
}

Ref
global(const Call &call, PyObject *name)
{
    PyObject *value = PyDict_GetItemWithError(call.globals, name);
    if (value != nullptr || PyErr_Occurred()) {
        return Ref::new_ref(value);
    }
    Ref builtins = Ref::new_ref(PyEval_GetBuiltins());
    value = PyDict_GetItemWithError(builtins.get(), name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::new_ref(value);
}

int
clear_if_queue_error(const Call &call, PyObject *name)
{
    Ref raised = fetch_exception();
    Ref queue = global(call, call.state.str_queue);
    Ref error_class = queue ? attr(queue.get(), name) : Ref();
    if (!error_class) {
        return -1;
    }
    int matches = PyErr_GivenExceptionMatches(raised.get(), error_class.get());
    if (!matches) {
        restore_exception(std::move(raised));
    }
    return matches;
}

int
log(const Call &call, PyObject *level, PyObject *message)
{
    Ref logger = global(call, call.state.str_logger);
    if (!logger || !call_method(logger.get(), level, nullptr, message)) {
        return -1;
    }
    return 0;
}

}  // namespace store_link
