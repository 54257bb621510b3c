// The background writer of threaded objects and the shutdown that stops it.
#include "operations.hpp"

namespace store_link {

int
stop_requested(const Context &cx, PyObject *self)
{
    Ref stop =
        call_on_attr(cx, self, cx.state.str__stop_evt, cx.state.str_is_set);
    if (!stop) {
        return -1;
    }
    return PyObject_IsTrue(stop.get());
}

namespace {

// Unpacks a pending write into its three fields, as `a, b, c = item` would.
Ref
unpack_pending_write(PyObject *item, PyObject *fields[3])
{
    Ref tuple = PyTuple_CheckExact(item) ? Ref::new_ref(item)
                                         : Ref::steal(PySequence_Tuple(item));
    if (!tuple) {
        return tuple;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(tuple.get());
    if (size != 3) {
        if (size < 3) {
            PyErr_Format(PyExc_ValueError,
                         "not enough values to unpack (expected 3, got %zd)",
                         size);
        }
        else {
            PyErr_SetString(PyExc_ValueError,
                            "too many values to unpack (expected 3)");
        }
        return Ref();
    }
    for (int i = 0; i < 3; i++) {
        fields[i] = PyTuple_GET_ITEM(tuple.get(), i);
    }
    return tuple;
}

// Stores one pending write. An Exception that escapes the write step (a
// record orjson cannot serialise) is logged like a failed store, so that one
// bad record does not end the worker and silently lose every later one.
// Returns 0, or -1 for an exception that must end the loop.
int
store_pending_write(const Context &cx, PyObject *self, PyObject *item)
{
    PyObject *fields[3];
    Ref tuple = unpack_pending_write(item, fields);
    PyObject *redis_key = item;
    if (tuple) {
        redis_key = fields[1];
        if (call_method(self, cx.state.str__write_, fields[0], fields[1],
                        fields[2])) {
            return 0;
        }
    }
    if (log_store_failure(cx, redis_key) == 0) {
        return 0;
    }
    if (!exception_is_catchable()) {
        return -1;
    }
    // Nobody is there to hear that the logger itself failed.
    PyErr_WriteUnraisable(self);
    return 0;
}

// The queue's task_done, read from the object now; an Exception (the queue
// dropped by a shutdown meanwhile) is ignored. Returns 0, or -1.
int
mark_done(const Context &cx, PyObject *self)
{
    if (call_on_attr(cx, self, cx.state.str__queue, cx.state.str_task_done)) {
        return 0;
    }
    if (!exception_is_catchable()) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

PyObject *
worker_loop(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    for (;;) {
        int stopping = stop_requested(cx, self);
        if (stopping < 0) {
            return nullptr;
        }
        if (stopping) {
            Py_RETURN_NONE;
        }
        Ref item = call_on_attr(cx, self, S.str__queue, S.str_get,
                                S.kw_timeout, S.get_timeout);
        if (!item) {
            int empty = clear_if_queue_error(cx, S.str_Empty);
            if (empty <= 0) {
                return nullptr;
            }
            continue;
        }
        if (store_pending_write(cx, self, item.get()) < 0) {
            // The item is still marked done before the loop ends.
            Ref pending_error = fetch_exception();
            if (mark_done(cx, self) < 0) {
                return nullptr;
            }
            restore_exception(std::move(pending_error));
            return nullptr;
        }
        if (mark_done(cx, self) < 0) {
            return nullptr;
        }
    }
}

// Every step may fail; an Exception ends the block silently, anything else
// reaches the caller.
int
shutdown_steps(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    if (!call_on_attr(cx, self, S.str__stop_evt, S.str_set)) {
        return -1;
    }
    Ref worker = instance_attr(cx, self, S.str__worker);
    if (!worker) {
        return -1;
    }
    if (worker.get() != Py_None &&
        !call_on_attr(cx, self, S.str__worker, S.str_join, S.kw_timeout,
                      S.join_timeout)) {
        return -1;
    }
    if (PyObject_SetAttr(self, S.str__queue, Py_None) < 0 ||
        PyObject_SetAttr(self, S.str__executor, Py_None) < 0 ||
        PyObject_SetAttr(self, S.str__use_thread, Py_False) < 0) {
        return -1;
    }
    return 0;
}

PyObject *
shutdown_executor(const Context &cx, PyObject *self)
{
    if (shutdown_steps(cx, self) < 0) {
        if (!exception_is_catchable()) {
            return nullptr;
        }
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

constexpr Param self_only_params[] = {
    self_param,
};

}  // namespace

const MethodSpec shutdown_executor_spec =
    method_spec<shutdown_executor, self_only_params>("_shutdown_executor",
                                                     nullptr);

const MethodSpec worker_loop_spec =
    method_spec<worker_loop, self_only_params>("_worker_loop", nullptr);

}  // namespace store_link
