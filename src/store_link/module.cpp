// Module init: collaborators bound as globals, the logger, and the StoreLink
// class built from the method table.
#include "operations.hpp"

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

// In class-body order, as names.hpp lists them.
const MethodSpec *const store_link_methods[] = {
#define STORE_LINK_SPEC_ADDRESS(op) &op##_spec,
    STORE_LINK_METHODS(STORE_LINK_SPEC_ADDRESS)
#undef STORE_LINK_SPEC_ADDRESS
};

// Whether a module object has been initialised in this process. Another
// module object (an import after the first left sys.modules,
// importlib.util.module_from_spec, _imp.create_dynamic) is refused. No module
// object is executed twice: importlib.reload and _imp.exec_dynamic skip one
// whose state exists, which is allocated before the first exec.
bool initialised_once = false;

// The collaborators, bound as module globals in this order, so that an
// import with several of them missing fails on the first: `import module`,
// or `from module import attribute` where an attribute is named.
struct Collaborator {
    const char *module;
    const char *attribute;
};

const Collaborator collaborators[] = {
    {"orjson", nullptr},
    {"os", nullptr},
    {"threading", nullptr},
    {"atexit", nullptr},
    {"queue", nullptr},
    {"typing", "Any"},
    {"typing", "Optional"},
    {"typing", "Union"},
    {"redis", nullptr},
    {"concurrent.futures", "ThreadPoolExecutor"},
    {"orba_sdk.logging.logger", "get_logger"},
};

int
bind_collaborator(PyObject *globals, const Collaborator &collaborator)
{
    Ref module = Ref::steal(PyImport_ImportModule(collaborator.module));
    if (!module) {
        return -1;
    }
    if (collaborator.attribute == nullptr) {
        return PyDict_SetItemString(globals, collaborator.module,
                                    module.get());
    }
    Ref value = Ref::steal(
        PyObject_GetAttrString(module.get(), collaborator.attribute));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_ImportError,
                         "cannot import name '%s' from '%s'",
                         collaborator.attribute, collaborator.module);
        }
        return -1;
    }
    return PyDict_SetItemString(globals, collaborator.attribute, value.get());
}

Ref
build_class(PyObject *module)
{
    Ref namespace_ = Ref::steal(
        Py_BuildValue("{s:s,s:s,s:s}", "__module__", PyModule_GetName(module),
                      "__qualname__", "StoreLink", "__doc__", class_doc));
    if (!namespace_) {
        return namespace_;
    }
    for (const MethodSpec *spec : store_link_methods) {
        Ref method = Ref::steal(function_new(*spec, module, "StoreLink"));
        if (!method || PyDict_SetItemString(namespace_.get(), spec->name,
                                            method.get()) < 0) {
            return Ref();
        }
    }
    return Ref::steal(PyObject_CallFunction(
        reinterpret_cast<PyObject *>(&PyType_Type), "s(O)O", "StoreLink",
        &PyBaseObject_Type, namespace_.get()));
}

// Only the main interpreter may load the module: one that came first would
// otherwise own it for the whole process, and ending a subinterpreter while
// a worker of its own runs aborts the process.
int
check_main_interpreter()
{
    if (!is_main_interpreter()) {
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
    if (check_main_interpreter() < 0) {
        return -1;
    }
    ModuleState &S = *static_cast<ModuleState *>(PyModule_GetState(module));
    if (initialised_once) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'store_link' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    if (state_init(S) < 0) {
        return -1;
    }
    if (function_type_ready() < 0) {
        return -1;
    }
    PyObject *globals = PyModule_GetDict(module);
    for (const Collaborator &collaborator : collaborators) {
        if (bind_collaborator(globals, collaborator) < 0) {
            return -1;
        }
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
    Ref store_link_class = build_class(module);
    if (!store_link_class ||
        PyDict_SetItemString(globals, "StoreLink", store_link_class.get()) <
            0) {
        return -1;
    }
    S.writers = writers_new(module);
    if (S.writers == nullptr) {
        return -1;
    }
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
#if STORE_LINK_HAS_MULTIPLE_INTERPRETERS_SLOT
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "store_link", module_doc,
    sizeof(ModuleState),   nullptr,      module_slots,
    module_traverse,       module_clear, module_free,
};

}  // namespace

}  // namespace store_link

PyMODINIT_FUNC
PyInit_store_link()
{
    return PyModuleDef_Init(&store_link::module_def);
}
