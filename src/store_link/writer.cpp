// The writer protocol. Producers hand pending writes to the queue and record
// each one here; the worker takes them, stores those that no DEL cancelled
// and records the store under way; a DEL cancels the recorded writes of its
// keys and waits (bounded) for a store of them under way; a fork keeps the
// workers out of new stores until it is done, and the child gets writers of
// its own. The records are C++ state, changed only with the GIL held and
// never while Python code can run in between: a borrowed Entry & or record
// never outlives the next step that can run Python code, and what a change
// releases goes to a Garbage list that dies after it.
#include "operations.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <new>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace store_link {

namespace {

// Every bound the protocol waits by, in seconds.
namespace timeouts {
// The worker's wait for a pending write: how soon an idle worker sees its
// stop event.
constexpr double get = 0.2;
// The shutdown's wait for the worker: how long one busy object may hold up
// the exit.
constexpr double join = 0.5;
// A DEL's wait for the store of its key under way: that store may wait for
// something the deleting thread holds (a logging handler's lock).
constexpr double delete_store = 2.0;
// A fork's wait for the stores under way: a stalled server must not hold up
// a fork for long.
constexpr double fork_stores = 0.5;
// A worker's wait for a fork under way before it stores anyway: a
// before-fork hook of the application's may wait for this very worker.
constexpr double fork_pause = 1.0;
}  // namespace timeouts

// Containers allocate through PyMem_RawMalloc: std::allocator of GCC 11 and
// later needs libstdc++ symbols (GLIBCXX_3.4.29) that the manylinux2014
// libstdc++ lacks. Running out of memory here ends the process, as a
// std::bad_alloc would without exceptions.
template <typename T>
struct RawAllocator {
    using value_type = T;
    RawAllocator() = default;
    template <typename U>
    RawAllocator(const RawAllocator<U> &)
    {}
    T *allocate(size_t n)
    {
        void *memory = PyMem_RawMalloc(n * sizeof(T));
        if (memory == nullptr) {
            Py_FatalError(
                "store_link: out of memory for the writer's records");
        }
        return static_cast<T *>(memory);
    }
    void deallocate(T *memory, size_t)
    {
        PyMem_RawFree(static_cast<void *>(memory));
    }
    template <typename U>
    bool operator==(const RawAllocator<U> &) const
    {
        return true;
    }
    template <typename U>
    bool operator!=(const RawAllocator<U> &) const
    {
        return false;
    }
};

template <typename T>
using Vector = std::vector<T, RawAllocator<T>>;

using Clock = std::chrono::steady_clock;
using Garbage = Vector<Ref>;

// A pending write handed to the queue and not yet taken back out of it.
struct HandOver {
    Ref item;
    bool cancelled;  // by a DEL of its key after the hand-over
};

struct Entry {
    Ref object;  // a weak reference; none for an untracked
                 // object (no weak references, or no
                 // __init__)
    std::deque<HandOver, RawAllocator<HandOver>> handed;  // in hand-over order
    size_t handed_kept = 0;  // after the last pruning
};

struct QueueCall {
    unsigned long thread;
    uint64_t worker;  // the worker's current_ident, or 0 for a producer
};

// A store a worker has begun.
struct Store {
    const PyObject *object;
    Ref redis_key;
    uint64_t worker;  // its current_ident
    uint64_t serial;
};

}  // namespace

struct Writers {
    // Every object that __init__ ran on, and the objects that handed over a
    // write, by address.
    std::unordered_map<const PyObject *, Entry, std::hash<const PyObject *>,
                       std::equal_to<const PyObject *>,
                       RawAllocator<std::pair<const PyObject *const, Entry>>>
        entries;
    size_t entries_kept = 0;
    // The entry found last (most programs write through one object).
    const PyObject *last_object = nullptr;
    Entry *last_entry = nullptr;
    Vector<Store> stores;
    uint64_t last_serial = 0;
    // Locks that waiters hold and block on again, released by wake() at the
    // end of every store and fork: each waiter then looks again.
    Vector<Ref> waiters;
    Vector<QueueCall> queue_calls;
    int forks_pending = 0;
    // The process that forked, while forks_pending: in another one (a child
    // whose hook has not yet given its objects writers of their own) the
    // inherited queues are not to be touched.
    long forked_by = 0;
    bool exit_started = false;
    // The module's exit callback, and the real atexit's register and
    // unregister (not the `atexit` global, which a test may replace).
    Ref exit_callback;
    Ref exit_register;
    Ref exit_unregister;
};

namespace {

// The first exception that arrives while bookkeeping must go on, raised
// again once it is done. keep() takes the exception set; absorb() clears an
// Exception and keeps any other; finish() answers 0, or -1 with it raised.
class Deferred {
public:
    void keep()
    {
        Ref raised = fetch_exception();
        if (!first_) {
            first_ = std::move(raised);
        }
    }
    void absorb()
    {
        if (clear_if_catchable() < 0) {
            keep();
        }
    }
    int finish()
    {
        if (!first_) {
            return 0;
        }
        restore_exception(std::move(first_));
        return -1;
    }

private:
    Ref first_;
};

// Who is calling, as the `threading` global tells it (gevent's patched
// get_ident tells its greenlets apart), or the OS thread where that global
// cannot. 0, or -1 for an exception outside the Exception family.
int
current_ident(const Context &cx, uint64_t &ident)
{
    Ref value =
        call_global(cx, cx.state.str_threading, cx.state.str_get_ident);
    if (value && PyLong_Check(value.get())) {
        ident = PyLong_AsUnsignedLongLongMask(value.get());
        return 0;
    }
    if (!value && clear_if_catchable() < 0) {
        return -1;
    }
    ident = PyThread_get_thread_ident();
    return 0;
}

// A call of the protocol's into a queue, under way (a QueueCall in
// Writers::queue_calls): the queue may hold its lock meanwhile. A finalizer
// that the GC runs there, or a queue's own hook, may call write_orba_data,
// which then must not call that queue again (a queue.Queue would wait for its
// own lock forever) and stores on its own thread instead. A set rather than a
// stack: greenlets sharing a thread enter and leave in any order.
class InQueueCall {
public:
    InQueueCall(const Context &cx, uint64_t worker)
        : cx_(cx), call_{PyThread_get_thread_ident(), worker}
    {
        if (cx_.state.writers != nullptr) {
            cx_.state.writers->queue_calls.push_back(call_);
        }
    }
    ~InQueueCall()
    {
        if (cx_.state.writers == nullptr) {
            return;
        }
        Vector<QueueCall> &calls = cx_.state.writers->queue_calls;
        for (auto it = calls.begin(); it != calls.end(); ++it) {
            if (it->thread == call_.thread && it->worker == call_.worker) {
                calls.erase(it);
                return;
            }
        }
    }
    InQueueCall(const InQueueCall &) = delete;
    InQueueCall &operator=(const InQueueCall &) = delete;

private:
    const Context &cx_;
    QueueCall call_;
};

// 1 when the caller runs inside one of the protocol's queue calls: a
// producer's of this thread, or a worker's when the caller is that worker
// (under gevent its greenlets share the thread). 0 when not, -1.
int
inside_queue_call(const Context &cx)
{
    Writers *W = cx.state.writers;
    if (W == nullptr || W->queue_calls.empty()) {
        return 0;
    }
    const unsigned long thread = PyThread_get_thread_ident();
    Vector<uint64_t> workers;
    for (const QueueCall &call : W->queue_calls) {
        if (call.thread != thread) {
            continue;
        }
        if (call.worker == 0) {
            return 1;
        }
        workers.push_back(call.worker);
    }
    if (workers.empty()) {
        return 0;
    }
    uint64_t me;
    if (current_ident(cx, me) < 0) {
        return -1;
    }
    for (uint64_t worker : workers) {
        if (worker == me) {
            return 1;
        }
    }
    return 0;
}

Clock::time_point
deadline_after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(seconds));
}

// Waits until done() holds or the deadline passes, on a lock of the
// `threading` global that wake() releases: the GIL is released meanwhile, a
// monkey-patched threading (gevent) switches to its hub, and an exception
// from a signal handler (Ctrl-C) ends the wait. done() runs no Python code,
// and neither does anything between a done() that holds and the caller's
// next step (the caller owns `lock`). 1 when done, 0 at the deadline (or
// when an Exception ends the wait: the bounded waits are best effort), -1.
template <typename Done>
int
wait_until(const Context &cx, Clock::time_point deadline, Ref &lock, Done done)
{
    const ModuleState &S = cx.state;
    while (!done()) {
        const double left =
            std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0 || S.writers == nullptr) {
            return 0;
        }
        if (!lock) {
            lock = call_global(cx, S.str_threading, S.str_Lock);
            if (!lock || !call_method(lock.get(), S.str_acquire)) {
                return clear_if_catchable() < 0 ? -1 : 0;
            }
            continue;  // that ran Python code: look again
        }
        Ref timeout = Ref::steal(PyFloat_FromDouble(left));
        if (!timeout) {
            return clear_if_catchable() < 0 ? -1 : 0;
        }
        S.writers->waiters.push_back(Ref::new_ref(lock.get()));
        Ref woken =
            call_method(lock.get(), S.str_acquire, Py_True, timeout.get());
        if (woken && woken.get() == Py_True) {
            continue;  // wake() took it off the list
        }
        // Off the list, unless wake() has it already; `lock` keeps it, so
        // that no Python code runs.
        if (S.writers != nullptr) {
            Vector<Ref> &waiting = S.writers->waiters;
            for (auto it = waiting.begin(); it != waiting.end(); ++it) {
                if (it->get() == lock.get()) {
                    waiting.erase(it);
                    break;
                }
            }
        }
        if (!woken) {
            return clear_if_catchable() < 0 ? -1 : 0;
        }
    }
    return 1;
}

// Releases every waiting lock; an Exception of one (a lock that a waiter
// gave up on, released twice) is ignored. 0, or -1.
int
wake(const Context &cx)
{
    Writers *W = cx.state.writers;
    if (W == nullptr || W->waiters.empty()) {
        return 0;
    }
    Vector<Ref> waiting;
    waiting.swap(W->waiters);
    Deferred deferred;
    for (Ref &lock : waiting) {
        if (!call_method(lock.get(), cx.state.str_release)) {
            deferred.absorb();
        }
    }
    return deferred.finish();
}

// -- the records -----------------------------------------------------------

Entry *
find_entry(const Context &cx, const PyObject *self)
{
    Writers *W = cx.state.writers;
    if (W == nullptr) {
        return nullptr;
    }
    if (W->last_object != self) {
        auto found = W->entries.find(self);
        if (found == W->entries.end()) {
            return nullptr;
        }
        W->last_object = self;
        W->last_entry = &found->second;
    }
    return W->last_entry;
}

// Moves out the records whose item nothing else holds any more (a queue
// that a shutdown dropped, one that keeps only the newest item per key): no
// worker can take those.
void
prune_handed(Entry &entry, Garbage &garbage)
{
    size_t kept = 0;
    for (size_t i = 0; i < entry.handed.size(); i++) {
        HandOver &record = entry.handed[i];
        if (Py_REFCNT(record.item.get()) == 1) {
            garbage.push_back(std::move(record.item));
        }
        else if (kept++ != i) {
            entry.handed[kept - 1] = std::move(record);
        }
    }
    entry.handed.resize(kept);
    entry.handed_kept = kept;
}

// Drops the entries of objects that are gone, and the untracked ones that
// record nothing.
void
prune_entries(Writers &W, Garbage &garbage)
{
    for (auto it = W.entries.begin(); it != W.entries.end();) {
        Entry &entry = it->second;
        prune_handed(entry, garbage);
        bool alive = !entry.handed.empty();
        if (entry.object) {
            // A strong reference taken and dropped: it runs no Python code.
            Ref target = weakref_target(entry.object.get());
            alive = target && target.get() != Py_None;
        }
        if (alive) {
            ++it;
            continue;
        }
        garbage.push_back(std::move(entry.object));
        for (HandOver &record : entry.handed) {
            garbage.push_back(std::move(record.item));
        }
        it = W.entries.erase(it);
    }
    W.entries_kept = W.entries.size();
    W.last_object = nullptr;
}

// Strong references to the tracked objects still alive, taken without
// running Python code, so that nothing changes the registry meanwhile.
Vector<Ref>
live_objects(Writers &W)
{
    Vector<Ref> objects;
    for (auto &[address, entry] : W.entries) {
        if (!entry.object) {
            continue;
        }
        Ref target = weakref_target(entry.object.get());
        if (target && target.get() != Py_None) {
            objects.push_back(std::move(target));
        }
    }
    return objects;
}

void
record_hand_over(const Context &cx, PyObject *self, PyObject *item)
{
    Writers *W = cx.state.writers;
    if (W == nullptr) {
        return;
    }
    Ref dropped;
    Entry *found = find_entry(cx, self);
    Entry &entry = found != nullptr ? *found : W->entries[self];
    // The oldest record goes as soon as nothing but it holds its item (taken
    // by another than the worker, dropped by the queue); all such records go
    // once the records have doubled.
    if (!entry.handed.empty() &&
        Py_REFCNT(entry.handed.front().item.get()) == 1) {
        dropped = std::move(entry.handed.front().item);
        entry.handed.pop_front();
    }
    entry.handed.push_back({Ref::new_ref(item), false});
    if (entry.handed.size() >= 2 * entry.handed_kept + 16) {
        Garbage garbage;
        prune_handed(entry, garbage);
    }
}

// Takes the record of `item` (owned by the caller) out; true when a DEL
// cancelled it.
bool
take_hand_over(const Context &cx, PyObject *self, PyObject *item)
{
    Entry *entry = find_entry(cx, self);
    if (entry == nullptr) {
        return false;
    }
    for (auto it = entry->handed.begin(); it != entry->handed.end(); ++it) {
        if (it->item.get() == item) {
            const bool cancelled = it->cancelled;
            // The caller's reference keeps the item: no Python code runs.
            entry->handed.erase(it);
            return cancelled;
        }
    }
    return false;
}

bool
names_key(PyObject *redis_key, const Vector<Ref> &names)
{
    if (!PyUnicode_Check(redis_key)) {
        return false;
    }
    for (const Ref &name : names) {
        if (PyUnicode_GET_LENGTH(name.get()) ==
                PyUnicode_GET_LENGTH(redis_key) &&
            PyUnicode_Compare(name.get(), redis_key) == 0) {
            return true;
        }
    }
    return false;
}

// The texts under which a pending write would hold the keys a DEL names: a
// str by its text, bytes decoded as UTF-8, an exact int or float as redis-py
// spells it (its repr); none for anything else, which no pending write can
// name. A text that cannot be made (bytes that are not UTF-8) names nothing.
Vector<Ref>
key_names(PyObject *const *keys, Py_ssize_t count)
{
    Vector<Ref> names;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *key = keys[i];
        Ref name;
        if (PyUnicode_Check(key)) {
            name = Ref::new_ref(key);
        }
        else if (PyBytes_Check(key)) {
            name = Ref::steal(PyUnicode_DecodeUTF8(
                PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), "strict"));
        }
        else if (PyLong_CheckExact(key) || PyFloat_CheckExact(key)) {
            name = Ref::steal(PyObject_Repr(key));
        }
        if (name) {
            names.push_back(std::move(name));
        }
        else {
            PyErr_Clear();
        }
    }
    return names;
}

uint64_t
begin_store(Writers &W, PyObject *self, PyObject *redis_key, uint64_t worker)
{
    W.stores.push_back(
        {self, Ref::new_ref(redis_key), worker, ++W.last_serial});
    return W.last_serial;
}

// Ends the store `serial` and wakes whoever waits for a store. 0, or -1.
int
end_store(const Context &cx, uint64_t serial)
{
    Writers *W = cx.state.writers;
    if (W == nullptr) {
        return 0;
    }
    for (auto it = W->stores.begin(); it != W->stores.end(); ++it) {
        if (it->serial == serial) {
            // The worker's pending write holds the key: no Python code runs.
            W->stores.erase(it);
            break;
        }
    }
    return wake(cx);
}

bool
storing(const Writers &W, uint64_t worker)
{
    for (const Store &store : W.stores) {
        if (store.worker == worker) {
            return true;
        }
    }
    return false;
}

// -- construction ----------------------------------------------------------

int
new_queue(const Context &cx, PyObject *self, PyObject *maxsize)
{
    const ModuleState &S = cx.state;
    Ref queue =
        call_global(cx, S.str_queue, S.str_Queue, S.kw_maxsize, maxsize);
    if (!queue) {
        return -1;
    }
    return PyObject_SetAttr(self, S.str__queue, queue.get());
}

int
new_worker(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    Ref target = attr(self, S.str__worker_loop);
    if (!target) {
        return -1;
    }
    Ref worker = call_global(cx, S.str_threading, S.str_Thread, S.kw_thread,
                             target.get(), S.worker_name, Py_True);
    if (!worker || PyObject_SetAttr(self, S.str__worker, worker.get()) < 0) {
        return -1;
    }
    Ref started = call_on_attr(cx, self, S.str__worker, S.str_start);
    return started ? 0 : -1;
}

// Moves the module's exit callback to the end of atexit's list, so that at
// exit it runs before every exit handler registered so far.
int
watch_exit(const Context &cx)
{
    Writers *W = cx.state.writers;
    if (W == nullptr) {
        return 0;
    }
    PyObject *callback = W->exit_callback.get();
    Ref removed = Ref::steal(PyObject_CallFunctionObjArgs(
        W->exit_unregister.get(), callback, nullptr));
    if (!removed) {
        return -1;
    }
    Ref added = Ref::steal(PyObject_CallFunctionObjArgs(W->exit_register.get(),
                                                        callback, nullptr));
    return added ? 0 : -1;
}

// Takes the oldest pending write out of a full queue and marks it done; an
// Exception (the worker emptied the queue meanwhile) is ignored. 0, or -1.
int
evict_oldest(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    Ref evicted = call_on_attr(cx, self, S.str__queue, S.str_get_nowait);
    if (evicted) {
        take_hand_over(cx, self, evicted.get());
        if (call_on_attr(cx, self, S.str__queue, S.str_task_done)) {
            return 0;
        }
    }
    return clear_if_catchable();
}

// -- the worker ------------------------------------------------------------

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

// A pending write as the worker takes it: the tuple, owned, and its three
// fields, as `data, redis_key, ttl = item` would give them.
struct PendingWrite {
    Ref tuple;
    PyObject *data = nullptr;
    PyObject *redis_key = nullptr;
    PyObject *ttl = nullptr;

    // 0, or -1 with the unpacking's error set.
    int unpack(PyObject *item)
    {
        tuple = PyTuple_CheckExact(item) ? Ref::new_ref(item)
                                         : Ref::steal(PySequence_Tuple(item));
        if (!tuple) {
            return -1;
        }
        const Py_ssize_t size = PyTuple_GET_SIZE(tuple.get());
        if (size < 3) {
            PyErr_Format(PyExc_ValueError,
                         "not enough values to unpack (expected 3, got %zd)",
                         size);
            return -1;
        }
        if (size > 3) {
            PyErr_SetString(PyExc_ValueError,
                            "too many values to unpack (expected 3)");
            return -1;
        }
        data = PyTuple_GET_ITEM(tuple.get(), 0);
        redis_key = PyTuple_GET_ITEM(tuple.get(), 1);
        ttl = PyTuple_GET_ITEM(tuple.get(), 2);
        return 0;
    }
};

// The queue's task_done, read from the object now; an Exception (the queue
// dropped by a shutdown meanwhile) is ignored. 0, or -1.
int
mark_done(const Context &cx, PyObject *self, uint64_t me)
{
    InQueueCall inside(cx, me);
    if (call_on_attr(cx, self, cx.state.str__queue, cx.state.str_task_done)) {
        return 0;
    }
    return clear_if_catchable();
}

// One item taken from the queue: stored unless a DEL cancelled it, once no
// fork is under way, and marked done exactly once, whatever arrives. An
// Exception that escapes the store (a record orjson cannot serialise) is
// logged like a failed store, so that one bad record does not end the worker
// and lose every later one; any other exception ends the loop, raised once
// the bookkeeping is done. 0, or -1.
int
store_taken(const Context &cx, PyObject *self, uint64_t me, Ref item)
{
    const ModuleState &S = cx.state;
    Deferred deferred;
    PendingWrite write;
    const bool unpacked = write.unpack(item.get()) == 0;
    if (!unpacked && log_or_report(cx, store_failure_prefix, item.get(),
                                   store_failure_separator, self) < 0) {
        deferred.keep();
    }
    Ref lock;
    if (wait_until(cx, deadline_after(timeouts::fork_pause), lock, [&] {
            return S.writers == nullptr || S.writers->forks_pending == 0;
        }) < 0) {
        deferred.keep();
    }
    // From the look at the forks to the record of the store, no Python code
    // runs: a before-fork hook sees the store, or the store sees the fork; a
    // DEL finds the write still handed over (and cancels it), or stored.
    const bool cancelled = take_hand_over(cx, self, item.get());
    if (unpacked && !cancelled) {
        const uint64_t serial =
            S.writers != nullptr
                ? begin_store(*S.writers, self, write.redis_key, me)
                : 0;
        if (!call_method(self, S.str__write_, write.data, write.redis_key,
                         write.ttl) &&
            log_or_report(cx, store_failure_prefix, write.redis_key,
                          store_failure_separator, self) < 0) {
            deferred.keep();
        }
        if (end_store(cx, serial) < 0) {
            deferred.keep();
        }
    }
    if (mark_done(cx, self, me) < 0) {
        deferred.keep();
    }
    return deferred.finish();
}

PyObject *
worker_loop(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    uint64_t me;
    if (current_ident(cx, me) < 0) {
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
        Ref timeout = Ref::steal(PyFloat_FromDouble(timeouts::get));
        if (!timeout) {
            return nullptr;
        }
        Ref item;
        {
            InQueueCall inside(cx, me);
            item = call_on_attr(cx, self, S.str__queue, S.str_get,
                                S.kw_timeout, timeout.get());
        }
        if (!item) {
            int empty = clear_if_queue_error(cx, S.str_Empty);
            if (empty <= 0) {
                return nullptr;
            }
            continue;
        }
        if (store_taken(cx, self, me, std::move(item)) < 0) {
            return nullptr;
        }
    }
}

// -- the shutdown and the exit ---------------------------------------------

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
    if (worker.get() != Py_None) {
        Ref timeout = Ref::steal(PyFloat_FromDouble(timeouts::join));
        if (!timeout || !call_on_attr(cx, self, S.str__worker, S.str_join,
                                      S.kw_timeout, timeout.get())) {
            return -1;
        }
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
    if (shutdown_steps(cx, self) < 0 && clear_if_catchable() < 0) {
        return nullptr;
    }
    // The dropped queue's pending writes are never taken now.
    Garbage garbage;
    Entry *entry = find_entry(cx, self);
    if (entry != nullptr) {
        prune_handed(*entry, garbage);
    }
    Py_RETURN_NONE;
}

ModuleState *
hook_state(PyObject *module)
{
    auto *S = static_cast<ModuleState *>(PyModule_GetState(module));
    // The callbacks outlive the module's state, which teardown clears.
    if (S == nullptr || S->writers == nullptr) {
        return nullptr;
    }
    return S;
}

// The module's exit callback: at interpreter exit, before the first exit
// handler runs, the stop event of every threaded object is set, so that
// their workers stop together rather than one handler after another. An
// Exception of one object does not stop the others.
PyObject *
stop_writers_at_exit(PyObject *module, PyObject *)
{
    ModuleState *S = hook_state(module);
    if (S == nullptr || S->writers->exit_started) {
        Py_RETURN_NONE;
    }
    S->writers->exit_started = true;
    const Context cx{*S, PyModule_GetDict(module)};
    Vector<Ref> objects = live_objects(*S->writers);
    Deferred deferred;
    for (const Ref &object : objects) {
        int threaded =
            instance_attr_is_true(cx, object.get(), S->str__use_thread);
        if (threaded == 0 ||
            (threaded > 0 &&
             call_on_attr(cx, object.get(), S->str__stop_evt, S->str_set))) {
            continue;
        }
        deferred.absorb();
    }
    if (deferred.finish() < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// -- fork ------------------------------------------------------------------

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
// gets a new stop event (the inherited one's lock may be held by a thread
// that does not exist here; set if that one was), a queue of the same
// capacity and a started worker (the inherited queue's writes are the
// parent's to store: only its capacity is read). One whose shutdown was
// under way at the fork, or whose writer cannot be made, is shut down: its
// writes are then stored on the child's own thread. 0, or -1.
int
rearm_in_child(const Context &cx, PyObject *self)
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
    const int stopping = stop_requested(cx, self);
    bool failed = stopping < 0 || writer_new_stop_event(cx, self) < 0;
    if (!failed && stopping) {
        failed = !call_on_attr(cx, self, S.str__stop_evt, S.str_set);
    }
    if (!failed && !stopping) {
        Ref maxsize = attr(inherited.get(), S.str_maxsize);
        if (maxsize && new_queue(cx, self, maxsize.get()) == 0 &&
            new_worker(cx, self) == 0) {
            return 0;
        }
        failed = true;
    }
    Ref error = failed ? fetch_exception() : Ref();
    if (PyObject_SetAttr(self, S.str__queue, Py_None) < 0 ||
        PyObject_SetAttr(self, S.str__executor, Py_None) < 0 ||
        PyObject_SetAttr(self, S.str__use_thread, Py_False) < 0) {
        return -1;
    }
    if (error) {
        restore_exception(std::move(error));
        return -1;
    }
    return 0;
}

// Before every os.fork(), on the forking thread: no worker begins a store
// until the fork is done, and the stores under way (but the caller's own)
// may end, for a bounded time.
PyObject *
before_fork(PyObject *module, PyObject *)
{
    ModuleState *S = hook_state(module);
    if (S == nullptr) {
        Py_RETURN_NONE;
    }
    if (S->writers->forks_pending++ == 0) {
        S->writers->forked_by = getpid();
    }
    if (S->writers->stores.empty()) {
        Py_RETURN_NONE;
    }
    const Context cx{*S, PyModule_GetDict(module)};
    uint64_t caller;
    if (current_ident(cx, caller) < 0) {
        return nullptr;
    }
    Ref lock;
    int waited =
        wait_until(cx, deadline_after(timeouts::fork_stores), lock, [&] {
            if (S->writers == nullptr) {
                return true;
            }
            for (const Store &store : S->writers->stores) {
                if (store.worker != caller) {
                    return false;
                }
            }
            return true;
        });
    if (waited < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// In the parent after every fork, failed ones included.
PyObject *
after_fork_in_parent(PyObject *module, PyObject *)
{
    ModuleState *S = hook_state(module);
    if (S == nullptr) {
        Py_RETURN_NONE;
    }
    if (S->writers->forks_pending > 0) {
        S->writers->forks_pending--;
    }
    const Context cx{*S, PyModule_GetDict(module)};
    if (wake(cx) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// In the child: the threads that stored and waited do not exist here, and
// the handed-over writes are the parent's. Every object is served; an
// Exception of one is logged.
PyObject *
after_fork_in_child(PyObject *module, PyObject *)
{
    ModuleState *S = hook_state(module);
    if (S == nullptr) {
        Py_RETURN_NONE;
    }
    Writers &W = *S->writers;
    Vector<Ref> objects;
    {
        // The threads that stored and waited are not here; their frames
        // still own what those records name, and no Python code runs. Until
        // every object is served, forks_pending keeps frame writes off the
        // inherited queues and the new workers out of their stores.
        W.stores.clear();
        W.queue_calls.clear();
        W.waiters.clear();
        Garbage garbage;
        for (auto &[address, entry] : W.entries) {
            for (HandOver &record : entry.handed) {
                garbage.push_back(std::move(record.item));
            }
            entry.handed.clear();
        }
        objects = live_objects(W);
    }
    const Context cx{*S, PyModule_GetDict(module)};
    Deferred deferred;
    for (const Ref &self : objects) {
        if (rearm_in_child(cx, self.get()) < 0 &&
            log_or_report(cx, "Failed to start the frame writer after fork",
                          nullptr, " - ", module) < 0) {
            deferred.keep();
        }
    }
    if (S->writers != nullptr) {
        S->writers->forks_pending = 0;
    }
    if (wake(cx) < 0) {
        deferred.keep();
    }
    if (deferred.finish() < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef exit_def = {
    "_stop_writers_at_exit", stop_writers_at_exit, METH_NOARGS,
    "Asks every frame writer to stop, at interpreter exit."};

PyMethodDef before_fork_def = {
    "_before_fork", before_fork, METH_NOARGS,
    "Keeps the frame writers out of their stores while the process forks."};

PyMethodDef after_fork_in_parent_def = {
    "_after_fork_in_parent", after_fork_in_parent, METH_NOARGS,
    "Lets the frame writers store again after a fork."};

PyMethodDef after_fork_in_child_def = {
    "_after_fork_in_child", after_fork_in_child, METH_NOARGS,
    "Gives each threaded StoreLink a writer of its own in a forked child."};

// os.register_at_fork with the three hooks; nothing where there is no
// os.fork(). 0, or -1.
int
register_fork_hooks(PyObject *module, PyObject *name)
{
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref register_at_fork =
        os ? Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"))
           : Ref();
    if (!register_at_fork) {
        return os ? clear_attribute_error() : -1;
    }
    Ref before = Ref::steal(PyCFunction_NewEx(&before_fork_def, module, name));
    Ref parent =
        Ref::steal(PyCFunction_NewEx(&after_fork_in_parent_def, module, name));
    Ref child =
        Ref::steal(PyCFunction_NewEx(&after_fork_in_child_def, module, name));
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!before || !parent || !child || !no_args) {
        return -1;
    }
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:O,s:O,s:O}", "before", before.get(), "after_in_parent",
        parent.get(), "after_in_child", child.get()));
    Ref registered =
        kwargs ? Ref::steal(PyObject_Call(register_at_fork.get(),
                                          no_args.get(), kwargs.get()))
               : Ref();
    return registered ? 0 : -1;
}

int
writers_init(Writers &W, PyObject *module)
{
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) {
        return -1;
    }
    W.exit_callback =
        Ref::steal(PyCFunction_NewEx(&exit_def, module, name.get()));
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!W.exit_callback || !atexit) {
        return -1;
    }
    W.exit_register =
        Ref::steal(PyObject_GetAttrString(atexit.get(), "register"));
    W.exit_unregister =
        Ref::steal(PyObject_GetAttrString(atexit.get(), "unregister"));
    if (!W.exit_register || !W.exit_unregister) {
        return -1;
    }
    return register_fork_hooks(module, name.get());
}

constexpr Param self_only_params[] = {
    self_param,
};

}  // namespace

Writers *
writers_new(PyObject *module)
{
    auto *W = new (std::nothrow) Writers();
    if (W == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (writers_init(*W, module) < 0) {
        writers_free(W);
        return nullptr;
    }
    return W;
}

void
writers_free(Writers *writers)
{
    delete writers;
}

int
writer_track(const Context &cx, PyObject *self)
{
    // StoreLink.__init__ may be run on an object of another class.
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(self)) ||
        cx.state.writers == nullptr) {
        return 0;
    }
    // Without a callback, the weak reference is the object's one canonical
    // reference, the same each time __init__ runs on it.
    Ref ref = Ref::steal(PyWeakref_NewRef(self, nullptr));
    if (!ref) {
        return -1;
    }
    if (cx.state.writers == nullptr) {
        return 0;
    }
    Writers &W = *cx.state.writers;
    Garbage garbage;
    Entry &entry = W.entries[self];
    if (entry.object.get() != ref.get()) {
        // A new object where one that is gone lived: its records are void.
        garbage.push_back(std::move(entry.object));
        for (HandOver &record : entry.handed) {
            garbage.push_back(std::move(record.item));
        }
        entry.handed.clear();
        entry.object = std::move(ref);
    }
    // Dead entries go once the registry has doubled, so that registering
    // stays cheap however many objects come and go.
    if (W.entries.size() >= 2 * W.entries_kept + 16) {
        prune_entries(W, garbage);
    }
    return 0;
}

int
writer_new_stop_event(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    Ref stop_evt = call_global(cx, S.str_threading, S.str_Event);
    if (!stop_evt) {
        return -1;
    }
    return PyObject_SetAttr(self, S.str__stop_evt, stop_evt.get());
}

int
writer_start(const Context &cx, PyObject *self, PyObject *maxsize)
{
    const ModuleState &S = cx.state;
    if (new_queue(cx, self, maxsize) < 0 || new_worker(cx, self) < 0) {
        return -1;
    }
    Ref handler = attr(self, S.str__shutdown_executor);
    if (!handler ||
        !call_global(cx, S.str_atexit, S.str_register, handler.get())) {
        return -1;
    }
    return watch_exit(cx);
}

PyObject *
writer_hand_over(const Context &cx, PyObject *self, PyObject *data,
                 PyObject *redis_key, PyObject *ttl)
{
    const ModuleState &S = cx.state;
    int nested = inside_queue_call(cx);
    if (nested < 0) {
        return nullptr;
    }
    // Nor is a queue used once the exit has asked the workers to stop, or in
    // a forked child whose hook has not given the object a queue of its own
    // (a parent thread may have held the inherited one's lock).
    const Writers *W = S.writers;
    if (W != nullptr && (W->exit_started ||
                         (W->forks_pending > 0 && getpid() != W->forked_by))) {
        nested = 1;
    }
    Ref queue =
        nested ? Ref::new_ref(Py_None) : instance_attr(cx, self, S.str__queue);
    if (!queue) {
        return nullptr;
    }
    // A shutdown on another thread may have dropped the queue since the
    // caller looked at it.
    if (queue.get() == Py_None) {
        return call_method(self, S.str__write_, data, redis_key, ttl)
            .release();
    }
    Ref pending = Ref::steal(PyTuple_New(3));
    if (!pending) {
        return nullptr;
    }
    PyObject *const fields[] = {data, redis_key, ttl};
    for (Py_ssize_t i = 0; i < 3; i++) {
        Py_INCREF(fields[i]);
        PyTuple_SET_ITEM(pending.get(), i, fields[i]);
    }
    record_hand_over(cx, self, pending.get());
    Ref put;
    {
        InQueueCall inside(cx, 0);
        put = call_method(queue.get(), S.str_put_nowait, pending.get());
    }
    if (put) {
        Py_RETURN_TRUE;
    }
    // Anything but Full may leave the item queued: its record stays, and is
    // pruned once nothing else holds the item.
    int full = clear_if_queue_error(cx, S.str_Full);
    if (full <= 0) {
        return nullptr;
    }
    {
        InQueueCall inside(cx, 0);
        if (evict_oldest(cx, self) < 0) {
            return nullptr;
        }
        put = call_on_attr(cx, self, S.str__queue, S.str_put_nowait,
                           pending.get());
    }
    if (put) {
        Py_RETURN_TRUE;
    }
    if (clear_if_catchable() < 0) {
        return nullptr;
    }
    take_hand_over(cx, self, pending.get());
    return call_method(self, S.str__write_, data, redis_key, ttl).release();
}

int
writer_order_delete(const Context &cx, PyObject *self, PyObject *const *keys,
                    Py_ssize_t count)
{
    Writers *W = cx.state.writers;
    if (W == nullptr) {
        return 0;
    }
    Entry *entry = find_entry(cx, self);
    bool recorded = entry != nullptr && !entry->handed.empty();
    for (const Store &store : W->stores) {
        recorded = recorded || store.object == self;
    }
    if (!recorded) {
        return 0;
    }
    const Vector<Ref> names = key_names(keys, count);
    // One step, with no Python code: a write of these keys is either still
    // handed over, and cancelled, or its store has begun, and is waited for.
    Vector<uint64_t> serials;
    entry = find_entry(cx, self);
    if (entry != nullptr) {
        for (HandOver &record : entry->handed) {
            PyObject *item = record.item.get();
            if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 3 &&
                names_key(PyTuple_GET_ITEM(item, 1), names)) {
                record.cancelled = true;
            }
        }
    }
    for (const Store &store : W->stores) {
        if (store.object == self && names_key(store.redis_key.get(), names)) {
            serials.push_back(store.serial);
        }
    }
    if (serials.empty()) {
        return 0;
    }
    // A DEL from inside a store (a _write_ override's, a logger's) must not
    // wait for a store, its own or another worker's.
    uint64_t caller;
    if (current_ident(cx, caller) < 0) {
        return -1;
    }
    W = cx.state.writers;
    if (W == nullptr || storing(*W, caller)) {
        return 0;
    }
    Ref lock;
    int waited =
        wait_until(cx, deadline_after(timeouts::delete_store), lock, [&] {
            const Writers *now = cx.state.writers;
            if (now == nullptr) {
                return true;
            }
            for (const Store &store : now->stores) {
                for (uint64_t serial : serials) {
                    if (store.serial == serial) {
                        return false;
                    }
                }
            }
            return true;
        });
    return waited < 0 ? -1 : 0;
}

const MethodSpec shutdown_executor_spec =
    method_spec<shutdown_executor, self_only_params>("_shutdown_executor",
                                                     nullptr);

const MethodSpec worker_loop_spec =
    method_spec<worker_loop, self_only_params>("_worker_loop", nullptr);

}  // namespace store_link
