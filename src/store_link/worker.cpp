// The background writer of threaded objects, the shutdown that stops it, and
// what orders its stores against a fork and against a DEL of the same key.
#include "operations.hpp"

#include <chrono>
#include <ctime>

namespace store_link {

namespace {

// How long a worker that has taken a pending write waits for a fork under
// way to end before it stores it anyway (the fork itself waits 0.5 s).
constexpr std::chrono::milliseconds kForkPause{1000};

}  // namespace

void
pause_briefly()
{
    const timespec pause = {0, 1000000};
    PyThreadState *saved = PyEval_SaveThread();
    nanosleep(&pause, nullptr);
    PyEval_RestoreThread(saved);
}

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

// The in-flight record of a store the worker is about to make, after every
// fork under way has ended. Nothing between the last look at the fork count
// and the record may run Python code (no GIL switch): a before-fork hook
// then either sees the record and waits for the store, or is seen here.
// 0, or -1.
int
record_store(ModuleState &S, PyObject *id, PyObject *record)
{
    // Bounded, like the fork's own wait: a before-fork hook of the
    // application's that waits for this worker must not hang the process.
    const auto started = std::chrono::steady_clock::now();
    while (S.forks_pending > 0 &&
           std::chrono::steady_clock::now() - started < kForkPause) {
        pause_briefly();
    }
    // Int keys: the dict runs no Python code, and a resize is no GC
    // allocation.
    if (S.stores_in_flight == nullptr) {
        return 0;
    }
    return PyDict_SetItem(S.stores_in_flight, id, record);
}

// Removes the record; keeps the exception that is set.
void
forget_store(ModuleState &S, PyObject *id)
{
    if (S.stores_in_flight == nullptr) {
        return;
    }
    Ref pending = fetch_exception();
    if (PyDict_DelItem(S.stores_in_flight, id) < 0) {
        PyErr_Clear();
    }
    if (pending) {
        restore_exception(std::move(pending));
    }
}

// Stores one pending write, recorded as in flight from before the store to
// after its log line. An Exception that escapes the write step (a record
// orjson cannot serialise) is logged like a failed store, so that one bad
// record does not end the worker and silently lose every later one.
// Returns 0, or -1 for an exception that must end the loop.
int
store_pending_write(const Context &cx, PyObject *self, PyObject *id,
                    PyObject *ident, PyObject *item)
{
    PyObject *fields[3];
    Ref tuple = unpack_pending_write(item, fields);
    if (!tuple) {
        return log_or_report(cx, store_failure_prefix, item,
                             store_failure_separator, self);
    }
    Ref record = Ref::steal(PyTuple_Pack(2, fields[1], ident));
    if (!record) {
        return log_or_report(cx, store_failure_prefix, fields[1],
                             store_failure_separator, self);
    }
    int result = 0;
    if (record_store(cx.state, id, record.get()) < 0 ||
        !call_method(self, cx.state.str__write_, fields[0], fields[1],
                     fields[2])) {
        result = log_or_report(cx, store_failure_prefix, fields[1],
                               store_failure_separator, self);
    }
    forget_store(cx.state, id);
    return result;
}

// The queue's task_done, read from the object now; an Exception (the queue
// dropped by a shutdown meanwhile) is ignored. Returns 0, or -1.
int
mark_done(const Context &cx, PyObject *self)
{
    if (call_on_attr(cx, self, cx.state.str__queue, cx.state.str_task_done)) {
        return 0;
    }
    return clear_if_catchable();
}

PyObject *
worker_loop(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    // What the in-flight record names this object and this thread by.
    Ref id = Ref::steal(PyLong_FromVoidPtr(self));
    if (!id) {
        return nullptr;
    }
    Ref ident =
        Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
    if (!ident) {
        return nullptr;
    }
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
        if (store_pending_write(cx, self, id.get(), ident.get(), item.get()) <
            0) {
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

// 1 once threading's shutdown has run: the interpreter is exiting and the
// exit handlers are running. 0, or -1. Asks the real threading module, not
// the module global, which a test or an application may have replaced with
// something that knows nothing of the main thread.
int
main_thread_ended(const Context &cx)
{
    const ModuleState &S = cx.state;
    Ref threading = Ref::steal(PyImport_GetModule(S.str_threading));
    if (!threading) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref main_thread = call_method(threading.get(), S.str_main_thread);
    if (!main_thread) {
        return -1;
    }
    Ref alive = call_method(main_thread.get(), S.str_is_alive);
    if (!alive) {
        return -1;
    }
    int is_alive = PyObject_IsTrue(alive.get());
    return is_alive < 0 ? -1 : !is_alive;
}

// Sets the stop event of every live threaded object, so that their workers
// notice it together rather than one exit handler after another. An
// Exception of one object does not stop the others. 0, or -1.
int
stop_every_writer(const Context &cx)
{
    const ModuleState &S = cx.state;
    Ref objects = tracked_objects(cx);
    if (!objects) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(objects.get()); i++) {
        Ref object = Ref::new_ref(PyList_GET_ITEM(objects.get(), i));
        int threaded =
            instance_attr_is_true(cx, object.get(), S.str__use_thread);
        if (threaded == 0 ||
            (threaded > 0 &&
             call_on_attr(cx, object.get(), S.str__stop_evt, S.str_set))) {
            continue;
        }
        if (clear_if_catchable() < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject *
shutdown_executor(const Context &cx, PyObject *self)
{
    ModuleState &S = cx.state;
    // What stopping the others raised outside the Exception family reaches
    // the caller, after this object's own steps.
    Ref deferred;
    if (!S.exit_stop_sent) {
        int exiting = main_thread_ended(cx);
        if (exiting > 0) {
            S.exit_stop_sent = true;
            exiting = stop_every_writer(cx);
        }
        if (exiting < 0 && clear_if_catchable() < 0) {
            deferred = fetch_exception();
        }
    }
    if (shutdown_steps(cx, self) < 0 && clear_if_catchable() < 0) {
        return nullptr;
    }
    if (deferred) {
        restore_exception(std::move(deferred));
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr Param self_only_params[] = {
    self_param,
};

}  // namespace

namespace {

// Field `index` of an in-flight record (redis_key, thread ident), borrowed;
// NULL for anything else that was put into the registry's dict.
PyObject *
record_field(PyObject *record, Py_ssize_t index)
{
    if (!PyTuple_CheckExact(record) || PyTuple_GET_SIZE(record) != 2) {
        return nullptr;
    }
    return PyTuple_GET_ITEM(record, index);
}

}  // namespace

Py_ssize_t
stores_in_flight(const ModuleState &S, unsigned long caller, bool &inside)
{
    inside = false;
    Py_ssize_t count = 0;
    Py_ssize_t position = 0;
    PyObject *id;
    PyObject *record;
    // Borrowed items, and nothing here can run Python code: exact ints.
    while (PyDict_Next(S.stores_in_flight, &position, &id, &record)) {
        PyObject *ident = record_field(record, 1);
        if (ident == nullptr || !PyLong_CheckExact(ident)) {
            continue;
        }
        unsigned long thread = PyLong_AsUnsignedLong(ident);
        if (thread == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            continue;
        }
        if (thread == caller) {
            inside = true;
        }
        else {
            count++;
        }
    }
    return count;
}

namespace {

// How long a DEL waits, in all, for the worker's store of its key, or for a
// pending write that has left the queue but that no worker has recorded yet.
// Bounded: a store can wait for something the deleting thread holds (a
// logging handler's lock, a lock of a _write_ override), and code outside
// the module may take items from the queue without marking them done.
constexpr std::chrono::milliseconds kStoreWait{2000};

// The text under which a pending write holds the key that `key`, an element
// given to a DEL, names in Redis: a str as it is (a subclass as an exact
// copy), bytes decoded as UTF-8, an exact int or float as redis-py spells it
// (its repr). None for anything else, which no pending write can name.
Ref
pending_key_name(PyObject *key)
{
    if (PyUnicode_CheckExact(key)) {
        return Ref::new_ref(key);
    }
    if (PyUnicode_Check(key)) {
        return Ref::steal(PyUnicode_FromObject(key));
    }
    if (PyBytes_Check(key)) {
        Ref name = Ref::steal(PyUnicode_DecodeUTF8(
            PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), "strict"));
        if (name || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            return name;
        }
        PyErr_Clear();
        return Ref::new_ref(Py_None);
    }
    if (PyLong_CheckExact(key) || PyFloat_CheckExact(key)) {
        return Ref::steal(PyObject_Repr(key));
    }
    return Ref::new_ref(Py_None);
}

// The set of texts that pending writes of `keys` hold. Only exact str go
// in, so that looking one up runs no Python code.
Ref
pending_key_names(PyObject *const *keys, Py_ssize_t count)
{
    Ref names = Ref::steal(PySet_New(nullptr));
    if (!names) {
        return names;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        Ref name = pending_key_name(keys[i]);
        if (!name) {
            return name;
        }
        if (name.get() != Py_None && PySet_Add(names.get(), name.get()) < 0) {
            return Ref();
        }
    }
    return names;
}

// 1 when `item` is a pending write of one of `names`. Runs no Python code.
int
is_pending_write_of(PyObject *item, PyObject *names)
{
    if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3) {
        return 0;
    }
    PyObject *redis_key = PyTuple_GET_ITEM(item, 1);
    if (!PyUnicode_CheckExact(redis_key)) {
        return 0;
    }
    return PySet_Contains(names, redis_key);
}

// Under the queue's mutex: takes the pending writes of `names` out of the
// queue's deque, one by one from the back, and returns how many it took, or
// -1. `copy` keeps every item referenced until the caller has released the
// mutex, so no finalizer runs under it; a deletion that fails leaves the
// rest where they are.
Py_ssize_t
take_pending_writes(PyObject *pending, PyObject *names, Ref &copy)
{
    copy = Ref::steal(PySequence_List(pending));
    if (!copy) {
        return -1;
    }
    Py_ssize_t taken = 0;
    for (Py_ssize_t i = PyList_GET_SIZE(copy.get()) - 1; i >= 0; i--) {
        int doomed =
            is_pending_write_of(PyList_GET_ITEM(copy.get(), i), names);
        if (doomed < 0) {
            return -1;
        }
        if (!doomed) {
            continue;
        }
        if (PySequence_DelItem(pending, i) < 0) {
            PyErr_Clear();
            break;
        }
        taken++;
    }
    return taken;
}

// Discards the pending writes of `names` from a queue.Queue, each marked
// done like an eviction. A queue without the mutex and deque of
// queue.Queue is left alone. 0, or -1.
int
discard_pending_writes(const Context &cx, PyObject *queue, PyObject *names)
{
    const ModuleState &S = cx.state;
    Ref mutex = attr(queue, S.str_mutex);
    if (!mutex) {
        return clear_attribute_error();
    }
    // The attribute `queue` of a queue.Queue: its deque.
    Ref pending = attr(queue, S.str_queue);
    if (!pending) {
        return clear_attribute_error();
    }
    // A finalizer that the GC runs inside a method of the queue, on the
    // thread that holds the mutex, would wait for it forever: after a
    // bounded wait the pending writes are left where they are.
    Ref acquired =
        call_method(mutex.get(), S.str_acquire, S.kw_timeout, S.mutex_timeout);
    if (!acquired) {
        return -1;
    }
    int got = PyObject_IsTrue(acquired.get());
    if (got <= 0) {
        return got;
    }
    Ref copy;
    Py_ssize_t taken = take_pending_writes(pending.get(), names, copy);
    Ref raised = taken < 0 ? fetch_exception() : Ref();
    Ref released = call_method(mutex.get(), S.str_release);
    if (!released) {
        return -1;
    }
    if (taken < 0) {
        restore_exception(std::move(raised));
        return -1;
    }
    for (Py_ssize_t i = 0; i < taken; i++) {
        if (!call_method(queue, S.str_task_done) && clear_if_catchable() < 0) {
            return -1;
        }
    }
    return 0;
}

// 1 when the calling thread is a worker inside one of its stores (a DEL
// from a _write_ override, or from a logger the store calls): it must not
// wait for a store, its own or another worker's.
bool
caller_is_storing(const ModuleState &S)
{
    bool inside;
    stores_in_flight(S, PyThread_get_thread_ident(), inside);
    return inside;
}

// 1 when items that left the queue are not yet marked done, 0 when none
// (or the queue cannot tell), -1.
int
items_taken(const Context &cx, PyObject *queue)
{
    const ModuleState &S = cx.state;
    Ref unfinished = attr(queue, S.str_unfinished_tasks);
    Ref pending = unfinished ? attr(queue, S.str_queue) : Ref();
    if (!pending) {
        return clear_if_catchable();
    }
    Py_ssize_t queued = PyObject_Size(pending.get());
    Py_ssize_t open =
        queued < 0 ? -1
                   : PyNumber_AsSsize_t(unfinished.get(), PyExc_OverflowError);
    if (open == -1 && PyErr_Occurred()) {
        return clear_if_catchable();
    }
    return open > queued ? 1 : 0;
}

// Waits, with the GIL released between looks, while the object's worker is
// inside a store of one of `names`, or has taken an item it has not
// recorded yet (for a bounded time). 0, or -1.
int
wait_for_store(const Context &cx, PyObject *queue, PyObject *id,
               PyObject *names)
{
    const ModuleState &S = cx.state;
    if (S.stores_in_flight == nullptr || caller_is_storing(S)) {
        return 0;
    }
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        if (S.stores_in_flight == nullptr) {
            return 0;
        }
        // An int key and exact str names: no Python code runs while the
        // record is borrowed.
        PyObject *record = PyDict_GetItemWithError(S.stores_in_flight, id);
        if (record != nullptr) {
            PyObject *redis_key = record_field(record, 0);
            int held = redis_key != nullptr && PyUnicode_CheckExact(redis_key)
                           ? PySet_Contains(names, redis_key)
                           : 0;
            if (held <= 0) {
                return held;
            }
        }
        else {
            if (PyErr_Occurred()) {
                return -1;
            }
            int taken = items_taken(cx, queue);
            if (taken <= 0) {
                return taken;
            }
        }
        if (std::chrono::steady_clock::now() - started >= kStoreWait) {
            return 0;
        }
        if (PyErr_CheckSignals() < 0) {
            return -1;
        }
        pause_briefly();
    }
}

}  // namespace

int
order_delete(const Context &cx, PyObject *self, PyObject *const *keys,
             Py_ssize_t count)
{
    Ref queue;
    int threaded = threaded_queue(cx, self, queue);
    if (threaded <= 0) {
        return threaded;
    }
    Ref names = pending_key_names(keys, count);
    if (!names) {
        return -1;
    }
    if (PySet_GET_SIZE(names.get()) == 0) {
        return 0;
    }
    Ref id = Ref::steal(PyLong_FromVoidPtr(self));
    if (!id || discard_pending_writes(cx, queue.get(), names.get()) < 0) {
        return -1;
    }
    return wait_for_store(cx, queue.get(), id.get(), names.get());
}

const MethodSpec shutdown_executor_spec =
    method_spec<shutdown_executor, self_only_params>("_shutdown_executor",
                                                     nullptr);

const MethodSpec worker_loop_spec =
    method_spec<worker_loop, self_only_params>("_worker_loop", nullptr);

}  // namespace store_link
