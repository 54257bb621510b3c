// StoreLink objects across os.fork(). A forked child runs only the thread
// that forked: the workers of the parent's objects do not exist there, and
// any lock another thread held at the fork stays held. The hooks keep the
// workers out of their stores while a fork is under way, give every threaded
// object a writer of its own in the child, and free every object's pool
// lock there.
#include "operations.hpp"

#include <chrono>

namespace store_link {

namespace {

// How long a fork waits, in all, for the workers to finish the stores they
// are in (a stalled server must not hold up a fork for long).
constexpr std::chrono::milliseconds kForkWait{500};

// pool.<name>, a threading lock, made free again in the child; a pool
// without it is left alone. 3.8's locks have no _at_fork_reinit: a new lock
// of the same kind replaces it. 0, or -1.
int
free_lock(const Context &cx, PyObject *pool, PyObject *name)
{
    const ModuleState &S = cx.state;
    Ref lock = attr(pool, name);
    if (!lock) {
        return clear_attribute_error();
    }
    if (call_method(lock.get(), S.str__at_fork_reinit)) {
        return 0;
    }
    if (clear_attribute_error() < 0) {
        return -1;
    }
    Ref fresh = call_global(cx, S.str_threading, S.str_Lock);
    if (fresh && Py_TYPE(fresh.get()) != Py_TYPE(lock.get())) {
        // An RLock (redis-py's _fork_lock); _thread.RLock is callable.
        fresh = Ref::steal(PyObject_CallObject(
            reinterpret_cast<PyObject *>(Py_TYPE(lock.get())), nullptr));
    }
    if (!fresh) {
        return -1;
    }
    return PyObject_SetAttr(pool, name, fresh.get());
}

// redis-py's pool resets itself on its first use in a child, but up to 8.1
// it keeps the lock inherited from the parent, which a parent thread may
// have held at the fork: the child's first command would then wait for it
// forever. Its _fork_lock, held by a parent thread inside its own reset,
// would make every command of the child fail after 5 seconds. The child runs
// one thread here, so both are made free again. A client or pool that is not
// redis-py's is left alone. 0, or -1.
int
free_pool_locks(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    Ref client = instance_attr(cx, self, S.str__redis_client);
    if (!client) {
        return clear_attribute_error();
    }
    Ref pool = attr(client.get(), S.str_connection_pool);
    if (!pool) {
        return clear_attribute_error();
    }
    if (free_lock(cx, pool.get(), S.str__lock) < 0) {
        return -1;
    }
    return free_lock(cx, pool.get(), S.str__fork_lock);
}

// In the child, for one object: its pool locks are freed; a threaded object
// gets a new stop event, a queue of the same capacity and a started worker;
// one whose shutdown was under way at the fork is shut down (its writes are
// then stored on the child's own thread). Non-threaded and shut-down objects
// keep their state. 0, or -1.
int
prepare_for_child(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    if (free_pool_locks(cx, self) < 0) {
        return -1;
    }
    Ref inherited;
    int threaded = threaded_queue(cx, self, inherited);
    if (threaded <= 0) {
        return threaded;
    }
    int stopping = stop_requested(cx, self);
    if (stopping < 0) {
        return -1;
    }
    if (stopping) {
        if (PyObject_SetAttr(self, S.str__queue, Py_None) < 0 ||
            PyObject_SetAttr(self, S.str__executor, Py_None) < 0) {
            return -1;
        }
        return PyObject_SetAttr(self, S.str__use_thread, Py_False);
    }
    // The pending writes of the inherited queue are the parent's to store,
    // and its lock may be held by a thread that does not exist here: only
    // its capacity is read.
    Ref maxsize = attr(inherited.get(), S.str_maxsize);
    if (!maxsize) {
        return -1;
    }
    if (set_new_stop_event(cx, self) < 0 ||
        set_new_queue(cx, self, maxsize.get()) < 0) {
        return -1;
    }
    return start_new_worker(cx, self);
}

ModuleState *
hook_state(PyObject *module)
{
    auto *S = static_cast<ModuleState *>(PyModule_GetState(module));
    // The hooks outlive the module's state, which teardown clears.
    if (S == nullptr || S->live_writers == nullptr) {
        return nullptr;
    }
    return S;
}

// Runs before every os.fork(), on the forking thread, before CPython takes
// its import lock. Waits, with the GIL released between looks, until no
// worker is inside a store, for at most kForkWait; until the after hooks
// run, no worker starts another.
PyObject *
before_fork(PyObject *module, PyObject *)
{
    ModuleState *S = hook_state(module);
    if (S == nullptr) {
        Py_RETURN_NONE;
    }
    S->forks_pending++;
    // A worker that forks from inside its own store is not waited for.
    const unsigned long caller = PyThread_get_thread_ident();
    bool inside;
    const auto started = std::chrono::steady_clock::now();
    while (S->stores_in_flight != nullptr &&
           stores_in_flight(*S, caller, inside) > 0 &&
           std::chrono::steady_clock::now() - started < kForkWait) {
        pause_briefly();
    }
    Py_RETURN_NONE;
}

// Runs in the parent after every fork, failed ones included.
PyObject *
after_fork_in_parent(PyObject *module, PyObject *)
{
    ModuleState *S = hook_state(module);
    if (S != nullptr && S->forks_pending > 0) {
        S->forks_pending--;
    }
    Py_RETURN_NONE;
}

// Runs in the child of every os.fork(). Must not stop at one object: an
// Exception is logged and the next object is served.
PyObject *
after_fork_in_child(PyObject *module, PyObject *)
{
    ModuleState *S = hook_state(module);
    if (S == nullptr) {
        Py_RETURN_NONE;
    }
    // The threads that recorded stores do not exist here.
    S->forks_pending = 0;
    if (S->stores_in_flight != nullptr) {
        PyDict_Clear(S->stores_in_flight);
    }
    Context cx{*S, PyModule_GetDict(module)};
    Ref objects = tracked_objects(cx);
    if (!objects) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(objects.get()); i++) {
        Ref self = Ref::new_ref(PyList_GET_ITEM(objects.get(), i));
        if (prepare_for_child(cx, self.get()) < 0 &&
            log_or_report(cx, "Failed to start the frame writer after fork",
                          nullptr, " - ", module) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef before_fork_def = {
    "_before_fork", before_fork, METH_NOARGS,
    "Keeps the frame writers out of their stores while the process forks."};

PyMethodDef after_fork_in_parent_def = {
    "_after_fork_in_parent", after_fork_in_parent, METH_NOARGS,
    "Lets the frame writers store again after a fork."};

PyMethodDef after_fork_def = {
    "_after_fork_in_child", after_fork_in_child, METH_NOARGS,
    "Gives each threaded StoreLink a writer of its own in a forked child."};

// Removes the entries whose object is gone. The dead keys are found first,
// in a copy, since dropping an entry may run Python code that changes the
// registry. 0, or -1.
int
prune_registry(ModuleState &S)
{
    Ref registry = Ref::new_ref(S.live_writers);
    Ref entries = Ref::steal(PyDict_Items(registry.get()));
    if (!entries) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); i++) {
        // Owned by the copy, whose tuples nothing else can reach.
        PyObject *entry = PyList_GET_ITEM(entries.get(), i);
        PyObject *ref = PyTuple_GET_ITEM(entry, 1);
        if (PyWeakref_CheckRef(ref)) {
            Ref tracked = weakref_target(ref);
            if (!tracked) {
                return -1;
            }
            if (tracked.get() != Py_None) {
                continue;
            }
        }
        if (PyDict_DelItem(registry.get(), PyTuple_GET_ITEM(entry, 0)) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
                return -1;
            }
            PyErr_Clear();
        }
    }
    S.live_writers_kept = PyDict_GET_SIZE(registry.get());
    return 0;
}

}  // namespace

int
track_writer(const Context &cx, PyObject *self)
{
    // StoreLink.__init__ may be run on an object of another class.
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(self))) {
        return 0;
    }
    ModuleState &S = cx.state;
    // Keyed by the weak reference's address, so that an object is never
    // hashed (a subclass that defines __eq__ alone is unhashable). Without a
    // callback, the weak reference is the object's one canonical reference,
    // the same each time __init__ runs, and the registry keeps it alive.
    Ref ref = Ref::steal(PyWeakref_NewRef(self, nullptr));
    if (!ref) {
        return -1;
    }
    Ref key = Ref::steal(PyLong_FromVoidPtr(ref.get()));
    if (!key || S.live_writers == nullptr) {
        return key ? 0 : -1;
    }
    // Int keys: the dict runs no Python code.
    if (PyDict_SetItem(S.live_writers, key.get(), ref.get()) < 0) {
        return -1;
    }
    // Dead entries go once the registry has doubled, so that registering
    // stays cheap however many objects are alive.
    if (PyDict_GET_SIZE(S.live_writers) < 2 * S.live_writers_kept + 16) {
        return 0;
    }
    return prune_registry(S);
}

Ref
tracked_objects(const Context &cx)
{
    Ref objects = Ref::steal(PyList_New(0));
    if (!objects || cx.state.live_writers == nullptr) {
        return objects;
    }
    Ref refs = Ref::steal(PyDict_Values(cx.state.live_writers));
    if (!refs) {
        return refs;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(refs.get()); i++) {
        Ref ref = Ref::new_ref(PyList_GET_ITEM(refs.get(), i));
        if (!PyWeakref_CheckRef(ref.get())) {
            continue;
        }
        Ref tracked = weakref_target(ref.get());
        if (!tracked) {
            return tracked;
        }
        if (tracked.get() != Py_None &&
            PyList_Append(objects.get(), tracked.get()) < 0) {
            return Ref();
        }
    }
    return objects;
}

int
fork_hook_register(PyObject *module)
{
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) {
        return -1;
    }
    Ref before =
        Ref::steal(PyCFunction_NewEx(&before_fork_def, module, name.get()));
    Ref in_parent =
        before ? Ref::steal(PyCFunction_NewEx(&after_fork_in_parent_def,
                                              module, name.get()))
               : Ref();
    Ref in_child = in_parent ? Ref::steal(PyCFunction_NewEx(
                                   &after_fork_def, module, name.get()))
                             : Ref();
    if (!in_child) {
        return -1;
    }
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) {
        return -1;
    }
    Ref register_at_fork =
        Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        // Only POSIX has os.fork(), and with it the hooks.
        return clear_attribute_error();
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return -1;
    }
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:O,s:O,s:O}", "before", before.get(), "after_in_parent",
        in_parent.get(), "after_in_child", in_child.get()));
    if (!kwargs) {
        return -1;
    }
    Ref registered = Ref::steal(
        PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get()));
    return registered ? 0 : -1;
}

}  // namespace store_link
