// Key removal and scanning: delete_data, delete_many, scan_keys.
#include "operations.hpp"

namespace store_link {

namespace {

PyObject *
delete_data(const Context &cx, PyObject *self, PyObject *redis_key)
{
    const ModuleState &S = cx.state;
    if (writer_order_delete(cx, self, &redis_key, 1) < 0) {
        return nullptr;
    }
    Ref removed =
        call_on_attr(cx, self, S.str__redis_client, S.str_delete, redis_key);
    if (!removed) {
        return nullptr;
    }
    int existed = PyObject_IsTrue(removed.get());
    if (existed < 0) {
        return nullptr;
    }
    return PyBool_FromLong(existed);
}

// The DEL reply as the int the method promises: an exact int or None as it
// is, another number through int().
PyObject *
reply_as_int(PyObject *reply)
{
    if (PyLong_CheckExact(reply) || reply == Py_None) {
        Py_INCREF(reply);
        return reply;
    }
    if (PyNumber_Check(reply)) {
        return PyNumber_Long(reply);
    }
    Ref name = Ref::steal(type_name(Py_TYPE(reply)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200U", "int",
                     name.get());
    }
    return nullptr;
}

// (client, *keys) as one owned tuple, so that a list changed during the DEL
// (by another thread, or by a finalizer) cannot pull a key away. Returns an
// empty tuple when the list has become empty.
Ref
del_arguments(Ref client, PyObject *redis_keys)
{
    for (;;) {
        Py_ssize_t count = PyList_GET_SIZE(redis_keys);
        if (count == 0) {
            return Ref::steal(PyTuple_New(0));
        }
        Ref argv = Ref::steal(PyTuple_New(count + 1));
        if (!argv) {
            return argv;
        }
        // The allocation may have run the GC, and with it finalizers that
        // changed the list; copy only a length measured after it. Up to
        // 3.11 only: from 3.12 the GC runs at the eval breaker, never inside
        // an allocation (gh-97922).
        if (PyList_GET_SIZE(redis_keys) != count) {
            continue;
        }
        PyTuple_SET_ITEM(argv.get(), 0, client.release());
        for (Py_ssize_t i = 0; i < count; i++) {
            PyObject *key = PyList_GET_ITEM(redis_keys, i);
            Py_INCREF(key);
            PyTuple_SET_ITEM(argv.get(), i + 1, key);
        }
        return argv;
    }
}

// A key name from SCAN as text: bytes decoded as strict UTF-8, anything else
// as it is.
Ref
key_text(const ModuleState &S, Ref key)
{
    if (PyBytes_CheckExact(key.get())) {
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key.get()),
                                               PyBytes_GET_SIZE(key.get()),
                                               "strict"));
    }
    if (PyBytes_Check(key.get())) {
        return call_method(key.get(), S.str_decode);
    }
    return key;
}

PyObject *
delete_many(const Context &cx, PyObject *self, PyObject *redis_keys)
{
    const ModuleState &S = cx.state;
    if (PyList_GET_SIZE(redis_keys) == 0) {
        return PyLong_FromLong(0);
    }
    Ref client = instance_attr(cx, self, S.str__redis_client);
    if (!client) {
        return nullptr;
    }
    Ref argv = del_arguments(std::move(client), redis_keys);
    if (!argv) {
        return nullptr;
    }
    Py_ssize_t nargs = PyTuple_GET_SIZE(argv.get());
    if (nargs == 0) {
        return PyLong_FromLong(0);
    }
    if (writer_order_delete(cx, self, PySequence_Fast_ITEMS(argv.get()) + 1,
                            nargs - 1) < 0) {
        return nullptr;
    }
    Ref removed = Ref::steal(vectorcall_method(
        S.str_delete, PySequence_Fast_ITEMS(argv.get()), nargs, nullptr));
    if (!removed) {
        return nullptr;
    }
    return reply_as_int(removed.get());
}

PyObject *
scan_keys(const Context &cx, PyObject *self, PyObject *pattern)
{
    const ModuleState &S = cx.state;
    Ref keys = Ref::steal(PyList_New(0));
    if (!keys) {
        return nullptr;
    }
    Ref iterable = call_on_attr(cx, self, S.str__redis_client, S.str_scan_iter,
                                S.kw_match, pattern);
    if (!iterable) {
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.get()));
    if (!iterator) {
        return nullptr;
    }
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(iterator.get()));
        if (!key) {
            break;
        }
        Ref name = key_text(S, std::move(key));
        if (!name || PyList_Append(keys.get(), name.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return keys.release();
}

constexpr Param delete_data_params[] = {
    self_param,
    redis_key_param,
};

constexpr Param delete_many_params[] = {
    self_param,
    {"redis_keys", ArgKind::List, "list"},
};

constexpr Param scan_keys_params[] = {
    self_param,
    {"pattern", ArgKind::Str, "str"},
};

}  // namespace

const MethodSpec delete_data_spec =
    method_spec<delete_data, delete_data_params>(
        "delete_data", "bool",
        "Delete data from the target redis location\n"
        "\n"
        "        Args:\n"
        "            redis_key(str): Target redis key.\n"
        "        ");

const MethodSpec delete_many_spec =
    method_spec<delete_many, delete_many_params>(
        "delete_many", "int",
        "Delete multiple keys in a single Redis command.\n"
        "\n"
        "        Args:\n"
        "            redis_keys(list): List of Redis keys to delete.\n"
        "\n"
        "        Returns:\n"
        "            int: Number of keys that were deleted.\n"
        "        ");

const MethodSpec scan_keys_spec = method_spec<scan_keys, scan_keys_params>(
    "scan_keys", "list",
    "Return all existing keys matching a glob pattern using SCAN "
    "(non-blocking).\n"
    "\n"
    "        Args:\n"
    "            pattern(str): Redis glob pattern, e.g. "
    "``'redis_<node_id>_*'``.\n"
    "\n"
    "        Returns:\n"
    "            list: List of matching key strings.\n"
    "        ");

}  // namespace store_link
