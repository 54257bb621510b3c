// Construction: the pool, the client, the stop event and, in threaded mode,
// the queue, the worker thread and its exit handler (writer.cpp).
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
    if (writer_new_stop_event(cx, self) < 0) {
        return nullptr;
    }
    // Every object, for the at-fork hooks (its pool lock) and the exit
    // handlers; before the worker's start, which waits for the new thread:
    // a fork on another thread meanwhile must still give the child a writer.
    if (writer_track(cx, self) < 0) {
        return nullptr;
    }
    int threaded = instance_attr_is_true(cx, self, S.str__use_thread);
    if (threaded < 0) {
        return nullptr;
    }
    if (threaded) {
        Ref maxsize = scaled_at_least(workers, 1, 1);
        if (!maxsize || writer_start(cx, self, maxsize.get()) < 0) {
            return nullptr;
        }
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

const MethodSpec init_spec =
    method_spec<init, init_params>("__init__", nullptr);

}  // namespace store_link
