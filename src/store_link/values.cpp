// Plain values: write_data and read_data, and the change notification that
// every successful store sends.
#include "operations.hpp"

namespace store_link {

int
notify_change(const Call &call, PyObject *self, PyObject *redis_key)
{
    const ModuleState &S = call.state;
    Ref notify_channel =
        Ref::steal(PyUnicode_Concat(redis_key, S.notify_suffix));
    if (!notify_channel) {
        return -1;
    }
    Ref client = instance_attr(call, self, S.str__redis_client);
    if (client && call_method(client.get(), S.str_publish, nullptr,
                              notify_channel.get(), S.notify_message)) {
        return 0;
    }
    if (!raised_exception_is_catchable()) {
        return -1;
    }
    Ref e = fetch_exception();
    Ref message = Ref::steal(
        PyUnicode_FromFormat("Failed to publish notification to %U: %S",
                             notify_channel.get(), e.get()));
    if (!message) {
        return -1;
    }
    return log(call, S.str_warning, message.get());
}

namespace {

PyObject *
write_data(Call &call)
{
    const ModuleState &S = call.state;
    PyObject *self = call.args[0], *redis_key = call.args[1],
             *data = call.args[2], *ttl = call.args[3];
    Ref client = instance_attr(call, self, S.str__redis_client);
    if (!client) {
        return nullptr;
    }
    Ref serialised;
    if (PyDict_Check(data)) {
        Ref orjson = global(call, S.str_orjson);
        if (!orjson) {
            return nullptr;
        }
        serialised = call_method(orjson.get(), S.str_dumps, nullptr, data);
        if (!serialised) {
            return nullptr;
        }
        data = serialised.get();
    }
    Ref result =
        call_method(client.get(), S.str_set, S.kw_ex, redis_key, data, ttl);
    if (!result) {
        return nullptr;
    }
    int stored = PyObject_IsTrue(result.get());
    if (stored < 0) {
        return nullptr;
    }
    if (!stored) {
        Py_RETURN_FALSE;
    }
    if (notify_change(call, self, redis_key) < 0) {
        return nullptr;
    }
    Py_RETURN_TRUE;
}

PyObject *
read_data(Call &call)
{
    const ModuleState &S = call.state;
    Ref client = instance_attr(call, call.args[0], S.str__redis_client);
    if (!client) {
        return nullptr;
    }
    return call_method(client.get(), S.str_get, nullptr, call.args[1])
        .release();
}

const Param write_data_params[] = {
    self_param,
    redis_key_param,
    {"data", ArgKind::Any, "Union[str, dict]"},
    {"ttl", ArgKind::OptionalInt, "Optional[int]"},
};

const Param read_data_params[] = {
    self_param,
    redis_key_param,
};

}  // namespace

const MethodSpec write_data_spec =
    method_spec("write_data", write_data_params, 1, "bool", write_data,
                "Write data to the target redis location\n"
                "\n"
                "        Args:\n"
                "            redis_key(str): Target redis key.\n"
                "            data(str): Data to be written.\n"
                "        ");

const MethodSpec read_data_spec =
    method_spec("read_data", read_data_params, 0, "Any", read_data,
                "Read data from the target redis location\n"
                "\n"
                "        Args:\n"
                "            redis_key(str): Target redis key.\n"
                "        ");

}  // namespace store_link
