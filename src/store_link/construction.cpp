// Construction: the pool, the client, the stop event and, in threaded mode,
// the queue, the worker thread and its exit handler.
#include "operations.hpp"

namespace store_link {

namespace {

// max(floor, factor * workers) for any int, however large.
Ref
scaled_at_least(PyObject *workers, long long factor, long long floor)
{
    int overflow;
    long long value = PyLong_AsLongLongAndOverflow(workers, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return Ref();
    }
    // 2**59: far from overflow when multiplied by a small factor.
    const long long limit = static_cast<long long>(1ULL << 59U);
    if (overflow == 0 && value < limit && value > -limit) {
        long long scaled = factor * value;
        return Ref::steal(
            PyLong_FromLongLong(scaled > floor ? scaled : floor));
    }
    if (overflow < 0 || value <= -limit) {
        return Ref::steal(PyLong_FromLongLong(floor));
    }
    Ref factor_obj = Ref::steal(PyLong_FromLongLong(factor));
    if (!factor_obj) {
        return factor_obj;
    }
    return Ref::steal(PyNumber_Multiply(factor_obj.get(), workers));
}

// Steps that only threaded objects take: queue, worker, exit handler.
int
start_background_writer(const Context &cx, PyObject *self, PyObject *workers)
{
    const ModuleState &S = cx.state;
    Ref maxsize = scaled_at_least(workers, 1, 1);
    if (!maxsize) {
        return -1;
    }
    if (set_new_queue(cx, self, maxsize.get()) < 0) {
        return -1;
    }
    if (start_new_worker(cx, self) < 0) {
        return -1;
    }
    Ref handler = attr(self, S.str__shutdown_executor);
    if (!handler) {
        return -1;
    }
    Ref registered =
        call_global(cx, S.str_atexit, S.str_register, handler.get());
    return registered ? 0 : -1;
}

PyObject *
init(const Context &cx, PyObject *self, PyObject *thread, PyObject *host,
     PyObject *port, PyObject *workers)
{
    const ModuleState &S = cx.state;
    if (PyObject_SetAttr(self, S.str__use_thread, thread) < 0) {
        return nullptr;
    }
    Ref max_connections = scaled_at_least(workers, 5, 10);
    if (!max_connections) {
        return nullptr;
    }
    Ref pool = call_global(cx, S.str_redis, S.str_ConnectionPool, S.kw_pool,
                           host, port, max_connections.get(), Py_False);
    if (!pool) {
        return nullptr;
    }
    Ref client = call_global(cx, S.str_redis, S.str_StrictRedis,
                             S.kw_connection_pool, pool.get());
    if (!client) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, S.str__redis_client, client.get()) < 0 ||
        PyObject_SetAttr(self, S.str__executor, Py_None) < 0 ||
        PyObject_SetAttr(self, S.str__queue, Py_None) < 0 ||
        PyObject_SetAttr(self, S.str__worker, Py_None) < 0) {
        return nullptr;
    }
    if (set_new_stop_event(cx, self) < 0) {
        return nullptr;
    }
    // Every object, for the at-fork hooks (its pool lock) and the exit
    // handlers; before the worker's start, which waits for the new thread:
    // a fork on another thread meanwhile must still give the child a writer.
    if (track_writer(cx, self) < 0) {
        return nullptr;
    }
    int threaded = instance_attr_is_true(cx, self, S.str__use_thread);
    if (threaded < 0) {
        return nullptr;
    }
    if (threaded && start_background_writer(cx, self, workers) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The default host: os.environ.get("REDIS_HOST", "localhost") through the
// module's `os`, read once, when the class is made at import.
PyObject *
make_default_host(PyObject *globals)
{
    Ref os = Ref::steal(PyMapping_GetItemString(globals, "os"));
    if (!os) {
        return nullptr;
    }
    Ref environ = Ref::steal(PyObject_GetAttrString(os.get(), "environ"));
    if (!environ) {
        return nullptr;
    }
    return PyObject_CallMethod(environ.get(), "get", "ss", "REDIS_HOST",
                               "localhost");
}

constexpr Default default_host = {make_default_host, true};

constexpr Param init_params[] = {
    {"self", ArgKind::Any, nullptr},
    {"thread", ArgKind::Truth, "bool", default_true},
    {"host", ArgKind::Str, "str", default_host},
    {"port", ArgKind::Int, "int", default_int<6379>},
    {"workers", ArgKind::Int, "int", default_int<2>},
};

}  // namespace

int
set_new_stop_event(const Context &cx, PyObject *self)
{
    const ModuleState &S = cx.state;
    Ref stop_evt = call_global(cx, S.str_threading, S.str_Event);
    if (!stop_evt) {
        return -1;
    }
    return PyObject_SetAttr(self, S.str__stop_evt, stop_evt.get());
}

int
set_new_queue(const Context &cx, PyObject *self, PyObject *maxsize)
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
start_new_worker(const Context &cx, PyObject *self)
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

const MethodSpec init_spec =
    method_spec<init, init_params>("__init__", nullptr);

}  // namespace store_link
