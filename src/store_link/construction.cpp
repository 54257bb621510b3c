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
    const long long limit = 1LL << 59;
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
start_background_writer(const Call &call, PyObject *self, PyObject *workers)
{
    const ModuleState &S = call.state;
    Ref maxsize = scaled_at_least(workers, 1, 1);
    // Tracked before the start, which waits for the new thread: a fork on
    // another thread meanwhile must still give the child a writer.
    if (!maxsize || set_new_queue(call, self, maxsize.get()) < 0 ||
        track_writer(call, self) < 0 || start_new_worker(call, self) < 0) {
        return -1;
    }
    Ref handler = attr(self, S.str__shutdown_executor);
    Ref atexit = handler ? global(call, S.str_atexit) : Ref();
    if (!atexit ||
        !call_method(atexit.get(), S.str_register, nullptr, handler.get())) {
        return -1;
    }
    return 0;
}

PyObject *
init(Call &call)
{
    const ModuleState &S = call.state;
    PyObject *self = call.args[0], *thread = call.args[1],
             *host = call.args[2], *port = call.args[3],
             *workers = call.args[4];
    if (PyObject_SetAttr(self, S.str__use_thread, thread) < 0) {
        return nullptr;
    }

    Ref max_connections = scaled_at_least(workers, 5, 10);
    Ref redis = max_connections ? global(call, S.str_redis) : Ref();
    Ref pool_type = redis ? attr(redis.get(), S.str_ConnectionPool) : Ref();
    Ref pool = pool_type ? call_object(pool_type.get(), S.kw_pool, host, port,
                                       max_connections.get(), Py_False)
                         : Ref();
    redis = pool ? global(call, S.str_redis) : Ref();
    Ref client_type = redis ? attr(redis.get(), S.str_StrictRedis) : Ref();
    Ref client = client_type ? call_object(client_type.get(),
                                           S.kw_connection_pool, pool.get())
                             : Ref();
    if (!client ||
        PyObject_SetAttr(self, S.str__redis_client, client.get()) < 0 ||
        PyObject_SetAttr(self, S.str__executor, Py_None) < 0 ||
        PyObject_SetAttr(self, S.str__queue, Py_None) < 0 ||
        PyObject_SetAttr(self, S.str__worker, Py_None) < 0) {
        return nullptr;
    }

    if (set_new_stop_event(call, self) < 0) {
        return nullptr;
    }

    Ref use_thread = instance_attr(call, self, S.str__use_thread);
    int threaded = use_thread ? PyObject_IsTrue(use_thread.get()) : -1;
    if (threaded < 0 ||
        (threaded && start_background_writer(call, self, workers) < 0)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const Param init_params[] = {
    {"self", ArgKind::Any, nullptr},  {"thread", ArgKind::Truth, "bool"},
    {"host", ArgKind::Str, "str"},    {"port", ArgKind::Int, "int"},
    {"workers", ArgKind::Int, "int"},
};

}  // namespace

int
set_new_stop_event(const Call &call, PyObject *self)
{
    const ModuleState &S = call.state;
    Ref threading = global(call, S.str_threading);
    Ref event_type = threading ? attr(threading.get(), S.str_Event) : Ref();
    Ref stop_evt = event_type ? call_object(event_type.get(), nullptr) : Ref();
    if (!stop_evt) {
        return -1;
    }
    return PyObject_SetAttr(self, S.str__stop_evt, stop_evt.get());
}

int
set_new_queue(const Call &call, PyObject *self, PyObject *maxsize)
{
    const ModuleState &S = call.state;
    Ref queue_module = global(call, S.str_queue);
    Ref queue_type =
        queue_module ? attr(queue_module.get(), S.str_Queue) : Ref();
    Ref queue = queue_type
                    ? call_object(queue_type.get(), S.kw_maxsize, maxsize)
                    : Ref();
    if (!queue) {
        return -1;
    }
    return PyObject_SetAttr(self, S.str__queue, queue.get());
}

int
start_new_worker(const Call &call, PyObject *self)
{
    const ModuleState &S = call.state;
    Ref target = attr(self, S.str__worker_loop);
    Ref threading = target ? global(call, S.str_threading) : Ref();
    Ref thread_type = threading ? attr(threading.get(), S.str_Thread) : Ref();
    Ref worker = thread_type
                     ? call_object(thread_type.get(), S.kw_thread,
                                   target.get(), S.worker_name, Py_True)
                     : Ref();
    if (!worker || PyObject_SetAttr(self, S.str__worker, worker.get()) < 0) {
        return -1;
    }
    worker = instance_attr(call, self, S.str__worker);
    if (!worker || !call_method(worker.get(), S.str_start, nullptr)) {
        return -1;
    }
    return 0;
}

const MethodSpec init_spec =
    method_spec("__init__", init_params, 4, nullptr, init);

}  // namespace store_link
