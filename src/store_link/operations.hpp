// What StoreLink's operations share: their method specs and small call
// helpers. Every helper returns an empty Ref (or -1) with an exception set on
// failure, and may run Python code.
#ifndef STORE_LINK_OPERATIONS_HPP
#define STORE_LINK_OPERATIONS_HPP

#include "function.hpp"

namespace store_link {

// construction.cpp
extern const MethodSpec init_spec;
// worker.cpp
extern const MethodSpec shutdown_executor_spec;
extern const MethodSpec worker_loop_spec;
// frames.cpp
extern const MethodSpec write_step_spec;
extern const MethodSpec write_orba_data_spec;
extern const MethodSpec read_orba_data_spec;
// keys.cpp
extern const MethodSpec delete_data_spec;
extern const MethodSpec delete_many_spec;
extern const MethodSpec scan_keys_spec;
// values.cpp
extern const MethodSpec write_data_spec;
extern const MethodSpec read_data_spec;

// Construction's steps that a forked child takes again (fork.cpp): each
// builds its object through the module globals now and sets the attribute;
// the worker is started. 0, or -1.
int set_new_stop_event(const Call &call, PyObject *self);
int set_new_queue(const Call &call, PyObject *self, PyObject *maxsize);
int start_new_worker(const Call &call, PyObject *self);

// fork.cpp. Adds a threaded object, weakly, to those that a forked child
// gives a writer of its own; 0, or -1.
int track_writer(const Call &call, PyObject *self);
// At import, once: os.register_at_fork(after_in_child=<the hook>); 0, or -1.
int fork_hook_register(PyObject *module);

// The module global `name` (falling back to the builtins), looked up now so
// that a replaced collaborator takes effect.
Ref global(const Call &call, PyObject *name);

inline Ref
attr(PyObject *obj, PyObject *name)
{
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// self.<name> for an instance attribute of StoreLink (`_queue`, ...): what
// getattr gives, without the type's lookup where the type has no such name.
Ref instance_attr(const Call &call, PyObject *self, PyObject *name);

// callable(*args); the last PyTuple_GET_SIZE(kwnames) args are passed by
// those keyword names. kwnames may be NULL.
template <typename... Args>
Ref
call_object(PyObject *callable, PyObject *kwnames, Args... args)
{
    PyObject *argv[] = {nullptr, args...};
    size_t nargs =
        sizeof...(args) - (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args), keywords as for call_object(); no bound method is made.
template <typename... Args>
Ref
call_method(PyObject *obj, PyObject *name, PyObject *kwnames, Args... args)
{
    PyObject *argv[] = {nullptr, obj, args...};
    size_t nargs = 1 + sizeof...(args) -
                   (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
    return Ref::steal(vectorcall_method(
        name, argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// True if the exception being raised belongs to the Exception family, the
// only one that the guards of the operations catch.
inline bool
raised_exception_is_catchable()
{
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

// With an exception set: if it is an instance of queue.<name>, clears it
// and returns 1; otherwise leaves it set and returns 0. -1 when looking up
// the class failed (that error is then the one set).
int clear_if_queue_error(const Call &call, PyObject *name);

// logger.<level>(message), with the logger looked up now. 0, or -1.
int log(const Call &call, PyObject *level, PyObject *message);

// The change notification after a successful store: PUBLISH "1" on
// key + "_notify". A failure of the Exception family is logged as a warning
// and does not count; 0, or -1 when something outside that guard failed.
int notify_change(const Call &call, PyObject *self, PyObject *redis_key);

// The error line of a failed frame store; 0, or -1.
int log_store_failure(const Call &call, PyObject *redis_key, PyObject *error);

}  // namespace store_link

#endif
