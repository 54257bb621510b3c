// Frame records: write_orba_data, the frame write step _write_, and
// read_orba_data.
#include "operations.hpp"

namespace store_link {

namespace {

// Serialise, SET, notify. A store that fails with an Exception is logged and
// answered with False; a record that cannot be serialised raises.
PyObject *
write_step(const Context &cx, PyObject *self, PyObject *data,
           PyObject *redis_key, PyObject *ttl)
{
    const ModuleState &S = cx.state;
    Ref str_as_data = call_global(cx, S.str_orjson, S.str_dumps, data);
    if (!str_as_data) {
        return nullptr;
    }
    Ref client = instance_attr(cx, self, S.str__redis_client);
    int stored = -1;
    if (client) {
        stored = set_and_notify(cx, self, client.get(), redis_key,
                                str_as_data.get(), ttl);
    }
    if (stored >= 0) {
        return PyBool_FromLong(stored);
    }
    if (log_store_failure(cx, redis_key) < 0) {
        return nullptr;
    }
    Py_RETURN_FALSE;
}

// self._write_(data, redis_key, ttl), through the object so that an
// override takes effect.
PyObject *
store_on_caller_thread(const Context &cx, PyObject *self, PyObject *data,
                       PyObject *redis_key, PyObject *ttl)
{
    return call_method(self, cx.state.str__write_, data, redis_key, ttl)
        .release();
}

PyObject *
write_orba_data(const Context &cx, PyObject *self, PyObject *data,
                PyObject *redis_key, PyObject *ttl)
{
    const ModuleState &S = cx.state;
    if (data == Py_None) {
        return call_method(self, S.str_delete_data, redis_key).release();
    }
    int threaded = instance_attr_is_true(cx, self, S.str__use_thread);
    if (threaded < 0) {
        return nullptr;
    }
    if (threaded) {
        Ref queue = instance_attr(cx, self, S.str__queue);
        if (!queue) {
            return nullptr;
        }
        if (queue.get() != Py_None) {
            return writer_hand_over(cx, self, data, redis_key, ttl);
        }
    }
    return store_on_caller_thread(cx, self, data, redis_key, ttl);
}

// orjson.loads(stored). orjson refuses subclasses of bytes, so one is parsed
// from an exact copy of its contents.
Ref
parse_json(const Context &cx, Ref stored)
{
    if (!PyBytes_CheckExact(stored.get())) {
        stored = Ref::steal(PyBytes_FromStringAndSize(
            PyBytes_AS_STRING(stored.get()), PyBytes_GET_SIZE(stored.get())));
        if (!stored) {
            return stored;
        }
    }
    return call_global(cx, cx.state.str_orjson, cx.state.str_loads,
                       stored.get());
}

PyObject *
read_orba_data(const Context &cx, PyObject *self, PyObject *redis_key)
{
    const ModuleState &S = cx.state;
    Ref result = call_method(self, S.str_read_data, S.kw_redis_key, redis_key);
    if (result && PyBytes_Check(result.get())) {
        result = parse_json(cx, std::move(result));
    }
    if (result) {
        return result.release();
    }
    if (log_exception(cx, S.str_warning, "Failed to get redis frame from ",
                      redis_key, " - ") < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr Param write_params[] = {
    self_param,
    {"data", ArgKind::Dict, "dict"},
    redis_key_param,
    ttl_param,
};

constexpr Param write_orba_data_params[] = {
    self_param,
    {"data", ArgKind::OptionalDict, "Optional[dict]"},
    redis_key_param,
    ttl_param,
};

constexpr Param read_orba_data_params[] = {
    self_param,
    redis_key_param,
};

}  // namespace

const MethodSpec write_step_spec = method_spec<write_step, write_params>(
    "_write_", "bool",
    "\n"
    "        Internal function that is executed in background thread\n"
    "        Args:\n"
    "            data,\n"
    "            redis_key:\n"
    "        Returns:\n"
    "\n"
    "        ");

const MethodSpec write_orba_data_spec = method_spec<write_orba_data,
                                                    write_orba_data_params>(
    "write_orba_data", "bool",
    "\n"
    "        Write video frame to the target redis key. If data is None, "
    "deletes the key.\n"
    "        Args:\n"
    "                data: Data dict to write, or None to delete the key.\n"
    "                redis_key(str): Target redis key.\n"
    "                ttl(int): Optional time-to-live in seconds.\n"
    "        ");

const MethodSpec read_orba_data_spec =
    method_spec<read_orba_data, read_orba_data_params>(
        "read_orba_data", nullptr,
        "Read video frame from a given redis key\n"
        "\n"
        "        Args:\n"
        "            redis_key(str): Target redis key.\n"
        "        ");

}  // namespace store_link
