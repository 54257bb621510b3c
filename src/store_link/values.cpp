// Plain values: write_data and read_data, and the change notification that
// every successful store sends.
#include "operations.hpp"

namespace store_link {

int
notify_change(const Context &cx, PyObject *self, PyObject *redis_key)
{
    const ModuleState &S = cx.state;
    Ref notify_channel =
        Ref::steal(PyUnicode_Concat(redis_key, S.notify_suffix));
    if (!notify_channel) {
        return -1;
    }
    Ref published = call_on_attr(cx, self, S.str__redis_client, S.str_publish,
                                 notify_channel.get(), S.notify_message);
    if (published) {
        return 0;
    }
    return log_exception(cx, S.str_warning,
                         "Failed to publish notification to ",
                         notify_channel.get(), ": ");
}

int
set_and_notify(const Context &cx, PyObject *self, PyObject *client,
               PyObject *redis_key, PyObject *value, PyObject *ttl)
{
    Ref result = call_method(client, cx.state.str_set, cx.state.kw_ex,
                             redis_key, value, ttl);
    if (!result) {
        return -1;
    }
    int stored = PyObject_IsTrue(result.get());
    if (stored <= 0) {
        return stored;
    }
    if (notify_change(cx, self, redis_key) < 0) {
        return -1;
    }
    return 1;
}

namespace {

PyObject *
write_data(const Context &cx, PyObject *self, PyObject *redis_key,
           PyObject *data, PyObject *ttl)
{
    const ModuleState &S = cx.state;
    Ref client = instance_attr(cx, self, S.str__redis_client);
    if (!client) {
        return nullptr;
    }
    Ref serialised;
    if (PyDict_Check(data)) {
        serialised = call_global(cx, S.str_orjson, S.str_dumps, data);
        if (!serialised) {
            return nullptr;
        }
        data = serialised.get();
    }
    int stored = set_and_notify(cx, self, client.get(), redis_key, data, ttl);
    if (stored < 0) {
        return nullptr;
    }
    return PyBool_FromLong(stored);
}

PyObject *
read_data(const Context &cx, PyObject *self, PyObject *redis_key)
{
    const ModuleState &S = cx.state;
    return call_on_attr(cx, self, S.str__redis_client, S.str_get, redis_key)
        .release();
}

constexpr Param write_data_params[] = {
    self_param,
    redis_key_param,
    {"data", ArgKind::Any, "Union[str, dict]"},
    ttl_param,
};

constexpr Param read_data_params[] = {
    self_param,
    redis_key_param,
};

}  // namespace

const MethodSpec write_data_spec = method_spec<write_data, write_data_params>(
    "write_data", "bool",
    "Write data to the target redis location\n"
    "\n"
    "        Args:\n"
    "            redis_key(str): Target redis key.\n"
    "            data(str): Data to be written.\n"
    "        ");

const MethodSpec read_data_spec = method_spec<read_data, read_data_params>(
    "read_data", "Any",
    "Read data from the target redis location\n"
    "\n"
    "        Args:\n"
    "            redis_key(str): Target redis key.\n"
    "        ");

}  // namespace store_link
