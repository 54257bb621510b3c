// Module init: collaborators bound as globals, the logger, the default host,
// and the StoreLink class built from the method table.
#include "operations.hpp"

#include <initializer_list>

namespace store_link {

namespace {

const char module_doc[] =
    "Redis access layer of the ORBA SDK: the StoreLink class.";

const char class_doc[] =
    "Represents a redis client specified for the containers.\n"
    "\n"
    "    Args:\n"
    "        thread(bool): Use threading or not\n"
    "        host(str): Redis server host\n"
    "        port(int): Redis server port\n"
    "    ";

// In class-body order.
const MethodSpec *const store_link_methods[] = {
    &init_spec,        &shutdown_executor_spec, &worker_loop_spec,
    &write_step_spec,  &write_orba_data_spec,   &delete_data_spec,
    &delete_many_spec, &scan_keys_spec,         &write_data_spec,
    &read_data_spec,   &read_orba_data_spec,
};

struct InternedName {
    PyObject *ModuleState::*field;
    const char *text;
};

const InternedName interned_names[] = {
    {&ModuleState::str__use_thread, "_use_thread"},
    {&ModuleState::str__redis_client, "_redis_client"},
    {&ModuleState::str__executor, "_executor"},
    {&ModuleState::str__queue, "_queue"},
    {&ModuleState::str__worker, "_worker"},
    {&ModuleState::str__stop_evt, "_stop_evt"},
    {&ModuleState::str__shutdown_executor, "_shutdown_executor"},
    {&ModuleState::str__worker_loop, "_worker_loop"},
    {&ModuleState::str__write_, "_write_"},
    {&ModuleState::str_delete_data, "delete_data"},
    {&ModuleState::str_read_data, "read_data"},
    {&ModuleState::str_orjson, "orjson"},
    {&ModuleState::str_threading, "threading"},
    {&ModuleState::str_atexit, "atexit"},
    {&ModuleState::str_queue, "queue"},
    {&ModuleState::str_redis, "redis"},
    {&ModuleState::str_logger, "logger"},
    {&ModuleState::str_ConnectionPool, "ConnectionPool"},
    {&ModuleState::str_StrictRedis, "StrictRedis"},
    {&ModuleState::str_Event, "Event"},
    {&ModuleState::str_Thread, "Thread"},
    {&ModuleState::str_Queue, "Queue"},
    {&ModuleState::str_Full, "Full"},
    {&ModuleState::str_Empty, "Empty"},
    {&ModuleState::str_register, "register"},
    {&ModuleState::str_start, "start"},
    {&ModuleState::str_join, "join"},
    {&ModuleState::str_set, "set"},
    {&ModuleState::str_is_set, "is_set"},
    {&ModuleState::str_get, "get"},
    {&ModuleState::str_put_nowait, "put_nowait"},
    {&ModuleState::str_get_nowait, "get_nowait"},
    {&ModuleState::str_task_done, "task_done"},
    {&ModuleState::str_maxsize, "maxsize"},
    {&ModuleState::str_dumps, "dumps"},
    {&ModuleState::str_loads, "loads"},
    {&ModuleState::str_delete, "delete"},
    {&ModuleState::str_publish, "publish"},
    {&ModuleState::str_scan_iter, "scan_iter"},
    {&ModuleState::str_decode, "decode"},
    {&ModuleState::str_warning, "warning"},
    {&ModuleState::str_error, "error"},
    {&ModuleState::notify_suffix, "_notify"},
    {&ModuleState::notify_message, "1"},
    {&ModuleState::worker_name, "StoreLinkWorker"},
};

// Every PyObject * field of ModuleState, for traverse and clear.
template <typename Visit>
int
for_each_field(ModuleState &S, Visit visit)
{
    for (const InternedName &name : interned_names) {
        if (int err = visit(S.*name.field)) {
            return err;
        }
    }
    PyObject **others[] = {
        &S.kw_pool,      &S.kw_connection_pool, &S.kw_maxsize,
        &S.kw_thread,    &S.kw_timeout,         &S.kw_ex,
        &S.kw_match,     &S.kw_redis_key,       &S.get_timeout,
        &S.join_timeout, &S.live_writers};
    for (PyObject **field : others) {
        if (int err = visit(*field)) {
            return err;
        }
    }
    return 0;
}

PyObject *
interned_tuple(std::initializer_list<const char *> names)
{
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (tuple == nullptr) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *text = PyUnicode_InternFromString(name);
        if (text == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, i++, text);
    }
    return tuple;
}

// The one interpreter that may load this module, and whether a module object
// has been initialised in it. Which object that was is recorded in its own
// state, never by address: a freed module's address is soon reused.
int64_t owner_interpreter = -1;
bool initialised_once = false;

// `from module_name import attribute` into the module's globals.
int
bind_from(PyObject *globals, const char *module_name, const char *attribute)
{
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) {
        return -1;
    }
    Ref value = Ref::steal(PyObject_GetAttrString(module.get(), attribute));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_ImportError,
                         "cannot import name '%s' from '%s'", attribute,
                         module_name);
        }
        return -1;
    }
    return PyDict_SetItemString(globals, attribute, value.get());
}

// `import module_name` into the module's globals.
int
bind_import(PyObject *globals, const char *module_name)
{
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) {
        return -1;
    }
    return PyDict_SetItemString(globals, module_name, module.get());
}

// os.environ.get("REDIS_HOST", "localhost"), through the module's `os`.
Ref
default_host(PyObject *globals)
{
    Ref os = Ref::steal(PyMapping_GetItemString(globals, "os"));
    Ref environ =
        os ? Ref::steal(PyObject_GetAttrString(os.get(), "environ")) : Ref();
    if (!environ) {
        return environ;
    }
    return Ref::steal(PyObject_CallMethod(environ.get(), "get", "ss",
                                          "REDIS_HOST", "localhost"));
}

Ref
build_class(PyObject *module, PyObject *host)
{
    Ref namespace_ = Ref::steal(
        Py_BuildValue("{s:s,s:s,s:s}", "__module__", PyModule_GetName(module),
                      "__qualname__", "StoreLink", "__doc__", class_doc));
    Ref init_defaults =
        Ref::steal(Py_BuildValue("(OOii)", Py_True, host, 6379, 2));
    if (!namespace_ || !init_defaults) {
        return Ref();
    }
    for (const MethodSpec *spec : store_link_methods) {
        PyObject *defaults =
            spec == &init_spec ? init_defaults.get() : nullptr;
        Ref method =
            Ref::steal(function_new(*spec, module, defaults, "StoreLink"));
        if (!method || PyDict_SetItemString(namespace_.get(), spec->name,
                                            method.get()) < 0) {
            return Ref();
        }
    }
    return Ref::steal(PyObject_CallFunction(
        reinterpret_cast<PyObject *>(&PyType_Type), "s(O)O", "StoreLink",
        &PyBaseObject_Type, namespace_.get()));
}

int
check_single_interpreter()
{
    int64_t interpreter = current_interpreter_id();
    if (interpreter == -1) {
        return -1;
    }
    if (owner_interpreter == -1) {
        owner_interpreter = interpreter;
    }
    else if (owner_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

int
module_exec(PyObject *module)
{
    if (check_single_interpreter() < 0) {
        return -1;
    }
    ModuleState &S = *static_cast<ModuleState *>(PyModule_GetState(module));
    if (S.initialised) {
        return 0;
    }
    if (initialised_once) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'store_link' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    if (state_init(S) < 0 || function_type_ready() < 0) {
        return -1;
    }
    PyObject *globals = PyModule_GetDict(module);
    if (bind_import(globals, "orjson") < 0 || bind_import(globals, "os") < 0 ||
        bind_import(globals, "threading") < 0 ||
        bind_import(globals, "atexit") < 0 ||
        bind_import(globals, "queue") < 0 ||
        bind_from(globals, "typing", "Any") < 0 ||
        bind_from(globals, "typing", "Optional") < 0 ||
        bind_from(globals, "typing", "Union") < 0 ||
        bind_import(globals, "redis") < 0 ||
        bind_from(globals, "concurrent.futures", "ThreadPoolExecutor") < 0 ||
        bind_from(globals, "orba_sdk.logging.logger", "get_logger") < 0) {
        return -1;
    }
    Ref get_logger =
        Ref::steal(PyMapping_GetItemString(globals, "get_logger"));
    if (!get_logger) {
        return -1;
    }
    Ref logger =
        Ref::steal(PyObject_CallFunction(get_logger.get(), "s", "REDIS"));
    if (!logger || PyDict_SetItemString(globals, "logger", logger.get()) < 0) {
        return -1;
    }
    Ref host = default_host(globals);
    Ref store_link_class = host ? build_class(module, host.get()) : Ref();
    if (!store_link_class ||
        PyDict_SetItemString(globals, "StoreLink", store_link_class.get()) <
            0) {
        return -1;
    }
    if (fork_hook_register(module) < 0) {
        return -1;
    }
    S.initialised = true;
    initialised_once = true;
    return 0;
}

int
module_traverse(PyObject *module, visitproc visit, void *arg)
{
    auto *S = static_cast<ModuleState *>(PyModule_GetState(module));
    return S == nullptr ? 0 : state_traverse(*S, visit, arg);
}

int
module_clear(PyObject *module)
{
    auto *S = static_cast<ModuleState *>(PyModule_GetState(module));
    if (S != nullptr) {
        state_clear(*S);
    }
    return 0;
}

void
module_free(void *module)
{
    module_clear(static_cast<PyObject *>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "store_link", module_doc,
    sizeof(ModuleState),   nullptr,      module_slots,
    module_traverse,       module_clear, module_free,
};

}  // namespace

int
state_init(ModuleState &S)
{
    for (const InternedName &name : interned_names) {
        S.*name.field = PyUnicode_InternFromString(name.text);
        if (S.*name.field == nullptr) {
            return -1;
        }
    }
    S.kw_pool = interned_tuple(
        {"host", "port", "max_connections", "decode_responses"});
    S.kw_connection_pool = interned_tuple({"connection_pool"});
    S.kw_maxsize = interned_tuple({"maxsize"});
    S.kw_thread = interned_tuple({"target", "name", "daemon"});
    S.kw_timeout = interned_tuple({"timeout"});
    S.kw_ex = interned_tuple({"ex"});
    S.kw_match = interned_tuple({"match"});
    S.kw_redis_key = interned_tuple({"redis_key"});
    S.get_timeout = PyFloat_FromDouble(0.2);
    S.join_timeout = PyFloat_FromDouble(0.5);
    S.live_writers = PyList_New(0);
    return for_each_field(
        S, [](PyObject *field) { return field == nullptr ? -1 : 0; });
}

int
state_traverse(ModuleState &S, visitproc visit, void *arg)
{
    return for_each_field(S, [&](PyObject *field) {
        Py_VISIT(field);
        return 0;
    });
}

void
state_clear(ModuleState &S)
{
    for_each_field(S, [](PyObject *&field) {
        Py_CLEAR(field);
        return 0;
    });
}

}  // namespace store_link

PyMODINIT_FUNC
PyInit_store_link()
{
    return PyModuleDef_Init(&store_link::module_def);
}
