// Frame records: write_orba_data, the frame write step _write_, and
// read_orba_data.
#include "operations.hpp"

namespace store_link {

int
log_store_failure(const Call &call, PyObject *redis_key, PyObject *error)
{
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Failed to write data to redis`%U` - %S", redis_key, error));
    if (!message) {
        return -1;
    }
    return log(call, call.state.str_error, message.get());
}

namespace {

// Serialise, SET, notify. A store that fails with an Exception is logged and
// answered with False; a record that cannot be serialised raises.
PyObject *
write_step(Call &call)
{
    const ModuleState &S = call.state;
    PyObject *self = call.args[0], *data = call.args[1],
             *redis_key = call.args[2], *ttl = call.args[3];
    Ref orjson = global(call, S.str_orjson);
    Ref str_as_data =
        orjson ? call_method(orjson.get(), S.str_dumps, nullptr, data) : Ref();
    if (!str_as_data) {
        return nullptr;
    }
    int stored = -1;
    Ref client = instance_attr(call, self, S.str__redis_client);
    if (client) {
        Ref result = call_method(client.get(), S.str_set, S.kw_ex, redis_key,
                                 str_as_data.get(), ttl);
        stored = result ? PyObject_IsTrue(result.get()) : -1;
        if (stored > 0 && notify_change(call, self, redis_key) < 0) {
            stored = -1;
        }
    }
    if (stored >= 0) {
        return PyBool_FromLong(stored);
    }
    if (!raised_exception_is_catchable()) {
        return nullptr;
    }
    Ref err = fetch_exception();
    if (log_store_failure(call, redis_key, err.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_FALSE;
}

PyObject *
store_on_caller_thread(PyObject *self, const Call &call)
{
    return call_method(self, call.state.str__write_, nullptr, call.args[1],
                       call.args[2], call.args[3])
        .release();
}

// Hands the record to the worker without waiting. A full queue loses its
// oldest pending write; a queue that is gone or still full after that makes
// the caller's thread store the record itself.
PyObject *
hand_over(Call &call)
{
    const ModuleState &S = call.state;
    PyObject *self = call.args[0];
    Ref pending = Ref::steal(PyTuple_New(3));
    if (pending) {
        for (int i = 0; i < 3; i++) {
            Py_INCREF(call.args[i + 1]);
            PyTuple_SET_ITEM(pending.get(), i, call.args[i + 1]);
        }
    }
    Ref queue = pending ? instance_attr(call, self, S.str__queue) : Ref();
    if (!queue) {
        return nullptr;
    }
    // A shutdown on another thread may have dropped the queue since the
    // caller looked at it.
    if (queue.get() == Py_None) {
        return store_on_caller_thread(self, call);
    }
    if (call_method(queue.get(), S.str_put_nowait, nullptr, pending.get())) {
        Py_RETURN_TRUE;
    }
    int full = clear_if_queue_error(call, S.str_Full);
    if (full <= 0) {
        return nullptr;
    }

    bool evicted = false;
    if ((queue = instance_attr(call, self, S.str__queue)) &&
        call_method(queue.get(), S.str_get_nowait, nullptr) &&
        (queue = instance_attr(call, self, S.str__queue)) &&
        call_method(queue.get(), S.str_task_done, nullptr)) {
        evicted = true;
    }
    if (!evicted) {
        if (!raised_exception_is_catchable()) {
            return nullptr;
        }
        PyErr_Clear();
    }

    if ((queue = instance_attr(call, self, S.str__queue)) &&
        call_method(queue.get(), S.str_put_nowait, nullptr, pending.get())) {
        Py_RETURN_TRUE;
    }
    if (!raised_exception_is_catchable()) {
        return nullptr;
    }
    PyErr_Clear();
    return store_on_caller_thread(self, call);
}

PyObject *
write_orba_data(Call &call)
{
    const ModuleState &S = call.state;
    PyObject *self = call.args[0];
    if (call.args[1] == Py_None) {
        return call_method(self, S.str_delete_data, nullptr, call.args[2])
            .release();
    }
    Ref use_thread = instance_attr(call, self, S.str__use_thread);
    if (!use_thread) {
        return nullptr;
    }
    int threaded = PyObject_IsTrue(use_thread.get());
    if (threaded < 0) {
        return nullptr;
    }
    if (threaded) {
        Ref queue = instance_attr(call, self, S.str__queue);
        if (!queue) {
            return nullptr;
        }
        if (queue.get() != Py_None) {
            return hand_over(call);
        }
    }
    return store_on_caller_thread(self, call);
}

// orjson.loads(stored). orjson refuses subclasses of bytes, so one is parsed
// from an exact copy of its contents.
Ref
parse_json(const Call &call, Ref stored)
{
    if (!PyBytes_CheckExact(stored.get())) {
        stored = Ref::steal(PyBytes_FromStringAndSize(
            PyBytes_AS_STRING(stored.get()), PyBytes_GET_SIZE(stored.get())));
        if (!stored) {
            return stored;
        }
    }
    Ref orjson = global(call, call.state.str_orjson);
    if (!orjson) {
        return orjson;
    }
    return call_method(orjson.get(), call.state.str_loads, nullptr,
                       stored.get());
}

PyObject *
read_orba_data(Call &call)
{
    const ModuleState &S = call.state;
    PyObject *redis_key = call.args[1];
    Ref result =
        call_method(call.args[0], S.str_read_data, S.kw_redis_key, redis_key);
    if (result && PyBytes_Check(result.get())) {
        result = parse_json(call, std::move(result));
    }
    if (result) {
        return result.release();
    }
    if (!raised_exception_is_catchable()) {
        return nullptr;
    }
    Ref e = fetch_exception();
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Failed to get redis frame from %U - %S", redis_key, e.get()));
    if (!message || log(call, S.str_warning, message.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const Param write_params[] = {
    self_param,
    {"data", ArgKind::Dict, "dict"},
    redis_key_param,
    {"ttl", ArgKind::OptionalInt, "Optional[int]"},
};

const Param write_orba_data_params[] = {
    self_param,
    {"data", ArgKind::OptionalDict, "Optional[dict]"},
    redis_key_param,
    {"ttl", ArgKind::OptionalInt, "Optional[int]"},
};

const Param read_orba_data_params[] = {
    self_param,
    redis_key_param,
};

}  // namespace

const MethodSpec write_step_spec = method_spec(
    "_write_", write_params, 1, "bool", write_step,
    "\n"
    "        Internal function that is executed in background thread\n"
    "        Args:\n"
    "            data,\n"
    "            redis_key:\n"
    "        Returns:\n"
    "\n"
    "        ");

const MethodSpec write_orba_data_spec = method_spec(
    "write_orba_data", write_orba_data_params, 1, "bool", write_orba_data,
    "\n"
    "        Write video frame to the target redis key. If data is None, "
    "deletes the key.\n"
    "        Args:\n"
    "                data: Data dict to write, or None to delete the key.\n"
    "                redis_key(str): Target redis key.\n"
    "                ttl(int): Optional time-to-live in seconds.\n"
    "        ");

const MethodSpec read_orba_data_spec = method_spec(
    "read_orba_data", read_orba_data_params, 0, nullptr, read_orba_data,
    "Read video frame from a given redis key\n"
    "\n"
    "        Args:\n"
    "            redis_key(str): Target redis key.\n"
    "        ");

}  // namespace store_link
