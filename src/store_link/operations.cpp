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
    const unsigned int version = valid_version_tag(type);
    if (version != 0 && type == S.plain_type &&
        version == S.plain_type_version) {
        return true;
    }
    // A key's __eq__ in the type's MRO may reassign __class__.
    Ref type_owner = Ref::new_ref(reinterpret_cast<PyObject *>(type));
    PyObject *const names[] = {
#define STORE_LINK_NAME_OBJECT(name) S.str_##name,
        STORE_LINK_INSTANCE_ATTRIBUTES(STORE_LINK_NAME_OBJECT)
#undef STORE_LINK_NAME_OBJECT
    };
    for (PyObject *instance_name : names) {
        if (type_lookup(type, instance_name) != nullptr) {
            return false;
        }
    }
    // Remembered at the tag read before the lookups, never at the type's tag
    // now: a key's __eq__ may have changed the type between two of them, and
    // then the tag read before is retired for good, with the verdict.
    if (version != 0) {
        S.plain_type = type;
        S.plain_type_version = version;
    }
    return true;
#else
    (void)S;
    Ref type_owner = Ref::new_ref(reinterpret_cast<PyObject *>(type));
    return type_lookup(type, name) == nullptr;
#endif
}

}  // namespace

Ref
instance_attr(const Context &cx, PyObject *self, PyObject *name)
{
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_getattro == PyObject_GenericGetAttr &&
        type_leaves_state_to_instances(cx.state, type, name)) {
        // Owned: a key's __eq__ may replace self.__dict__ during the lookup.
        Ref dict = instance_dict(self);
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

int
instance_attr_is_true(const Context &cx, PyObject *self, PyObject *name)
{
    Ref value = instance_attr(cx, self, name);
    if (!value) {
        return -1;
    }
    return PyObject_IsTrue(value.get());
}

int
threaded_queue(const Context &cx, PyObject *self, Ref &queue)
{
    const ModuleState &S = cx.state;
    int threaded = instance_attr_is_true(cx, self, S.str__use_thread);
    if (threaded <= 0) {
        return threaded;
    }
    queue = instance_attr(cx, self, S.str__queue);
    if (!queue) {
        return -1;
    }
    return queue.get() != Py_None ? 1 : 0;
}

Ref
global(const Context &cx, PyObject *name)
{
    PyObject *value = PyDict_GetItemWithError(cx.globals, name);
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
clear_if_queue_error(const Context &cx, PyObject *name)
{
    Ref raised = fetch_exception();
    Ref queue = global(cx, cx.state.str_queue);
    Ref error_class = queue ? attr(queue.get(), name) : Ref();
    if (error_class &&
        PyErr_GivenExceptionMatches(raised.get(), error_class.get())) {
        return 1;
    }
    // An Exception of the lookup gives way to what was raised before it.
    if (!error_class && clear_if_catchable() < 0) {
        return -1;
    }
    restore_exception(std::move(raised));
    return -1;
}

int
log_exception(const Context &cx, PyObject *level, const char *prefix,
              PyObject *subject, const char *separator)
{
    if (!exception_is_catchable()) {
        return -1;
    }
    Ref error = fetch_exception();
    Ref message;
    if (subject == nullptr) {
        message = Ref::steal(
            PyUnicode_FromFormat("%s%s%S", prefix, separator, error.get()));
    }
    else {
        message = Ref::steal(PyUnicode_FromFormat("%s%S%s%S", prefix, subject,
                                                  separator, error.get()));
    }
    if (!message) {
        return -1;
    }
    Ref logged = call_global(cx, cx.state.str_logger, level, message.get());
    return logged ? 0 : -1;
}

int
log_or_report(const Context &cx, const char *prefix, PyObject *subject,
              const char *separator, PyObject *where)
{
    if (log_exception(cx, cx.state.str_error, prefix, subject, separator) ==
        0) {
        return 0;
    }
    if (!exception_is_catchable()) {
        return -1;
    }
    // Nobody is there to hear that the logger itself failed.
    PyErr_WriteUnraisable(where);
    return 0;
}

}  // namespace store_link
