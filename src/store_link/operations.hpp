// What StoreLink's operations share: their method specs and the helpers they
// call. Every helper returns an empty Ref, or -1, with an exception set on
// failure, and may run Python code.
#ifndef STORE_LINK_OPERATIONS_HPP
#define STORE_LINK_OPERATIONS_HPP

#include "function.hpp"
#include "writer.hpp"

namespace store_link {

// The method specs, each defined in its operation's file.
#define STORE_LINK_DECLARE_SPEC(op) extern const MethodSpec op##_spec;
STORE_LINK_METHODS(STORE_LINK_DECLARE_SPEC)
#undef STORE_LINK_DECLARE_SPEC

// Calls.

// obj.name(*args); no bound method is made.
template <typename... Args>
Ref
call_method(PyObject *obj, PyObject *name, Args... args)
{
    PyObject *argv[] = {nullptr, obj, args...};
    return Ref::steal(vectorcall_method(
        name, argv + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
}

// obj.name(*args), the last N of them passed by the keywords of `kw`.
template <size_t N, typename... Args>
Ref
call_method(PyObject *obj, PyObject *name, const KwNames<N> &kw, Args... args)
{
    static_assert(sizeof...(Args) >= N, "a value for every keyword");
    PyObject *argv[] = {nullptr, obj, args...};
    return Ref::steal(vectorcall_method(
        name, argv + 1,
        (1 + sizeof...(Args) - N) | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.tuple));
}

// Lookups.

// The module global `name` (falling back to the builtins), looked up now so
// that a replaced collaborator takes effect.
Ref global(const Context &cx, PyObject *name);

// self.<name> for an instance attribute of StoreLink (`_queue`, ...): what
// getattr gives, without the type's lookup where the type has no such name.
Ref instance_attr(const Context &cx, PyObject *self, PyObject *name);

// The truth of self.<name>, an instance attribute read as above: 1, 0, or -1.
int instance_attr_is_true(const Context &cx, PyObject *self, PyObject *name);
// 1 with `queue` set to the object's queue when it is threaded (_use_thread
// true and _queue not None), 0 when it is not, -1.
int threaded_queue(const Context &cx, PyObject *self, Ref &queue);

inline Ref
attr(PyObject *obj, PyObject *name)
{
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// <global>.<method>(...): a collaborator's function or class, looked up now.
template <typename... Args>
Ref
call_global(const Context &cx, PyObject *global_name, PyObject *method,
            Args... args)
{
    Ref collaborator = global(cx, global_name);
    if (!collaborator) {
        return collaborator;
    }
    return call_method(collaborator.get(), method, args...);
}

// self.<attribute>.<method>(...), the attribute read from the object now.
template <typename... Args>
Ref
call_on_attr(const Context &cx, PyObject *self, PyObject *attribute,
             PyObject *method, Args... args)
{
    Ref target = instance_attr(cx, self, attribute);
    if (!target) {
        return target;
    }
    return call_method(target.get(), method, args...);
}

// Errors.

// True if the exception being raised belongs to the Exception family, the
// only one that the guards of the operations catch.
inline bool
exception_is_catchable()
{
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

// With an exception set: an AttributeError is cleared, 0; any other stays
// set, -1.
inline int
clear_attribute_error()
{
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// With an exception set: one of the Exception family is cleared, 0; any
// other stays set, -1.
inline int
clear_if_catchable()
{
    if (!exception_is_catchable()) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// The guard of the operations. With an exception set: one of the Exception
// family is taken and logged at `level` (a logger method name) as one line,
// prefix + subject + separator + str(exception), and 0 is returned; any
// other exception, or one raised while logging, stays set: -1.
int log_exception(const Context &cx, PyObject *level, const char *prefix,
                  PyObject *subject, const char *separator);

// The error line of a failed frame store: prefix, key, separator, error.
constexpr const char store_failure_prefix[] = "Failed to write data to redis`";
constexpr const char store_failure_separator[] = "` - ";

// The guard of a frame store: the error line of a failed store.
inline int
log_store_failure(const Context &cx, PyObject *redis_key)
{
    return log_exception(cx, cx.state.str_error, store_failure_prefix,
                         redis_key, store_failure_separator);
}

// log_exception at error level, for a thread that has nobody to report to
// (the worker, an at-fork hook): an Exception raised by the logger itself is
// reported as unraisable on `where`. 0, or -1 for an exception outside the
// Exception family.
int log_or_report(const Context &cx, const char *prefix, PyObject *subject,
                  const char *separator, PyObject *where);

// With an exception set: if it is an instance of queue.<name>, clears it
// and returns 1; otherwise -1, with it still set (or the error of looking up
// the class).
int clear_if_queue_error(const Context &cx, PyObject *name);

// Shared steps.

// values.cpp. The change notification after a successful store: PUBLISH "1"
// on key + "_notify". A failure of the Exception family is logged as a
// warning and does not count; 0, or -1 when something outside that guard
// failed.
int notify_change(const Context &cx, PyObject *self, PyObject *redis_key);

// values.cpp. client.set(redis_key, value, ex=ttl), then the change
// notification when the reply is true: 1 when stored, 0 when the reply was
// not true, -1.
int set_and_notify(const Context &cx, PyObject *self, PyObject *client,
                   PyObject *redis_key, PyObject *value, PyObject *ttl);

}  // namespace store_link

#endif
