// Threaded objects across os.fork(): a forked child runs only the thread that
// forked, so the workers of the parent's objects do not exist there, and
// their queues may stay locked by a thread that is gone. One at-fork hook
// gives every live threaded object a writer of its own in the child.
#include "operations.hpp"

namespace store_link {

namespace {

// A new stop event, queue of the same capacity and started worker for one
// object in the child; shut-down and non-threaded objects are left as they
// are. 0, or -1.
int
restart_writer(const Call &call, PyObject *self)
{
    const ModuleState &S = call.state;
    Ref use_thread = instance_attr(call, self, S.str__use_thread);
    int threaded = use_thread ? PyObject_IsTrue(use_thread.get()) : -1;
    if (threaded <= 0) {
        return threaded;
    }
    Ref inherited = instance_attr(call, self, S.str__queue);
    if (!inherited || inherited.get() == Py_None) {
        return inherited ? 0 : -1;
    }
    Ref stop_evt = instance_attr(call, self, S.str__stop_evt);
    Ref stop =
        stop_evt ? call_method(stop_evt.get(), S.str_is_set, nullptr) : Ref();
    int stopping = stop ? PyObject_IsTrue(stop.get()) : -1;
    if (stopping != 0) {
        return stopping < 0 ? -1 : 0;
    }
    // The pending writes of the inherited queue are the parent's to store,
    // and its lock may be held by a thread that does not exist here: only
    // its capacity is read.
    Ref maxsize = attr(inherited.get(), S.str_maxsize);
    if (!maxsize || set_new_stop_event(call, self) < 0 ||
        set_new_queue(call, self, maxsize.get()) < 0) {
        return -1;
    }
    return start_new_worker(call, self);
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
    Call call{*S, PyModule_GetDict(module)};
    Ref registry = Ref::new_ref(S->live_writers);
    Ref writers = Ref::steal(PySequence_List(registry.get()));
    if (!writers) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(writers.get()); i++) {
        Ref self = weakref_target(PyList_GET_ITEM(writers.get(), i));
        if (self &&
            (self.get() == Py_None || restart_writer(call, self.get()) == 0)) {
            continue;
        }
        if (!raised_exception_is_catchable()) {
            return nullptr;
        }
        Ref err = fetch_exception();
        Ref message = Ref::steal(PyUnicode_FromFormat(
            "Failed to start the frame writer after fork - %S", err.get()));
        if (message && log(call, S->str_error, message.get()) == 0) {
            continue;
        }
        if (!raised_exception_is_catchable()) {
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
track_writer(const Call &call, PyObject *self)
{
    // A list of weak references: a set would hash the objects, and a
    // subclass that defines __eq__ alone is unhashable.
    Ref registry = Ref::new_ref(call.state.live_writers);
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
    Ref hook = name ? Ref::steal(PyCFunction_NewEx(&after_fork_def, module,
                                                   name.get()))
                    : Ref();
    Ref os = hook ? Ref::steal(PyImport_ImportModule("os")) : Ref();
    Ref register_at_fork =
        os ? Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"))
           : Ref();
    Ref args = register_at_fork ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref kwargs =
        args ? Ref::steal(Py_BuildValue("{s:O}", "after_in_child", hook.get()))
             : Ref();
    if (!kwargs) {
        return -1;
    }
    Ref registered = Ref::steal(
        PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
    return registered ? 0 : -1;
}

}  // namespace store_link
