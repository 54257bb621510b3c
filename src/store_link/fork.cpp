// Threaded objects across os.fork(): a forked child runs only the thread that
// forked, so the workers of the parent's objects do not exist there, and
// their queues may stay locked by a thread that is gone. One at-fork hook
// gives every live threaded object a writer of its own in the child.
#include "operations.hpp"

namespace store_link {

namespace {

// 0 after clearing an AttributeError; -1 with any other exception left set.
int
clear_attribute_error()
{
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// redis-py's pool resets itself on its first use in a child, but up to 8.1
// it keeps the lock inherited from the parent, which the parent's worker may
// have held at the fork: the child's first command would then wait for it
// forever. The child runs one thread here, so the lock is made free again.
// A client that is not redis-py's is left alone. 0, or -1.
int
free_pool_lock(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    Ref client = instance_attr(cx, self, S.str__redis_client);
    if (!client) {
        return -1;
    }
    Ref pool = attr(client.get(), S.str_connection_pool);
    if (!pool) {
        return clear_attribute_error();
    }
    Ref lock = attr(pool.get(), S.str__lock);
    if (!lock) {
        return clear_attribute_error();
    }
    if (call_method(lock.get(), S.str__at_fork_reinit)) {
        return 0;
    }
    // 3.8's locks have no _at_fork_reinit; its redis-py (up to 6.1) uses a
    // plain Lock.
    if (clear_attribute_error() < 0) {
        return -1;
    }
    Ref fresh = call_global(cx, S.str_threading, S.str_Lock);
    if (!fresh) {
        return -1;
    }
    return PyObject_SetAttr(pool.get(), S.str__lock, fresh.get());
}

// A new stop event, queue of the same capacity and started worker for one
// object in the child; shut-down and non-threaded objects are left as they
// are. 0, or -1.
int
restart_writer(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    int threaded = instance_attr_is_true(cx, self, S.str__use_thread);
    if (threaded <= 0) {
        return threaded;
    }
    Ref inherited = instance_attr(cx, self, S.str__queue);
    if (!inherited) {
        return -1;
    }
    if (inherited.get() == Py_None) {
        return 0;
    }
    int stopping = stop_requested(cx, self);
    if (stopping != 0) {
        return stopping < 0 ? -1 : 0;
    }
    // The pending writes of the inherited queue are the parent's to store,
    // and its lock may be held by a thread that does not exist here: only
    // its capacity is read.
    Ref maxsize = attr(inherited.get(), S.str_maxsize);
    if (!maxsize) {
        return -1;
    }
    if (free_pool_lock(cx, self) < 0 || set_new_stop_event(cx, self) < 0 ||
        set_new_queue(cx, self, maxsize.get()) < 0) {
        return -1;
    }
    return start_new_worker(cx, self);
}

// Runs in the child of every os.fork(). Must not stop at one object: an
// Exception is logged and the next object is served.
PyObject *
after_fork_in_child(PyObject *module, PyObject *)
{
    auto *S = static_cast<ModuleState *>(PyModule_GetState(module));
    // The hook outlives the module's state, which teardown clears.
    if (S == nullptr || S->live_writers == nullptr) {
        Py_RETURN_NONE;
    }
    Context cx{*S, PyModule_GetDict(module)};
    Ref registry = Ref::new_ref(S->live_writers);
    Ref writers = Ref::steal(PySequence_List(registry.get()));
    if (!writers) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(writers.get()); i++) {
        Ref self = weakref_target(PyList_GET_ITEM(writers.get(), i));
        if (self &&
            (self.get() == Py_None || restart_writer(cx, self.get()) == 0)) {
            continue;
        }
        if (log_exception(cx, S->str_error,
                          "Failed to start the frame writer after fork",
                          nullptr, " - ") == 0) {
            continue;
        }
        if (!exception_is_catchable()) {
            return nullptr;
        }
        // Nobody is there to hear that the logger itself failed.
        PyErr_WriteUnraisable(module);
    }
    Py_RETURN_NONE;
}

PyMethodDef after_fork_def = {
    "_after_fork_in_child", after_fork_in_child, METH_NOARGS,
    "Gives each threaded StoreLink a writer of its own in a forked child."};

}  // namespace

int
track_writer(const Context &cx, PyObject *self)
{
    // StoreLink.__init__ may be run on an object of another class.
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(self))) {
        return 0;
    }
    // A list of weak references: a set would hash the objects, and a
    // subclass that defines __eq__ alone is unhashable.
    Ref registry = Ref::new_ref(cx.state.live_writers);
    for (Py_ssize_t i = PyList_GET_SIZE(registry.get()) - 1; i >= 0; i--) {
        Ref tracked = weakref_target(PyList_GET_ITEM(registry.get(), i));
        if (!tracked) {
            return -1;
        }
        if (tracked.get() == Py_None &&
            PyList_SetSlice(registry.get(), i, i + 1, nullptr) < 0) {
            return -1;
        }
    }
    Ref ref = Ref::steal(PyWeakref_NewRef(self, nullptr));
    if (!ref) {
        return -1;
    }
    return PyList_Append(registry.get(), ref.get());
}

int
fork_hook_register(PyObject *module)
{
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) {
        return -1;
    }
    Ref hook =
        Ref::steal(PyCFunction_NewEx(&after_fork_def, module, name.get()));
    if (!hook) {
        return -1;
    }
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) {
        return -1;
    }
    Ref register_at_fork =
        Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        // Only POSIX has os.fork(), and with it the hook.
        return clear_attribute_error();
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return -1;
    }
    Ref kwargs =
        Ref::steal(Py_BuildValue("{s:O}", "after_in_child", hook.get()));
    if (!kwargs) {
        return -1;
    }
    Ref registered = Ref::steal(
        PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get()));
    return registered ? 0 : -1;
}

}  // namespace store_link
