// Module state: interned names and the constant objects the operations use.
#ifndef STORE_LINK_STATE_HPP
#define STORE_LINK_STATE_HPP

#include "ref.hpp"

namespace store_link {

struct ModuleState {
    // Instance attributes.
    PyObject *str__use_thread;
    PyObject *str__redis_client;
    PyObject *str__executor;
    PyObject *str__queue;
    PyObject *str__worker;
    PyObject *str__stop_evt;
    // Methods of StoreLink that the operations call through the object.
    PyObject *str__shutdown_executor;
    PyObject *str__worker_loop;
    PyObject *str__write_;
    PyObject *str_delete_data;
    PyObject *str_read_data;
    // Module globals.
    PyObject *str_orjson;
    PyObject *str_threading;
    PyObject *str_atexit;
    PyObject *str_queue;
    PyObject *str_redis;
    PyObject *str_logger;
    // Attributes of the collaborators.
    PyObject *str_ConnectionPool;
    PyObject *str_StrictRedis;
    PyObject *str_Event;
    PyObject *str_Thread;
    PyObject *str_Queue;
    PyObject *str_Full;
    PyObject *str_Empty;
    PyObject *str_register;
    PyObject *str_start;
    PyObject *str_join;
    PyObject *str_set;
    PyObject *str_is_set;
    PyObject *str_get;
    PyObject *str_put_nowait;
    PyObject *str_get_nowait;
    PyObject *str_task_done;
    PyObject *str_maxsize;
    PyObject *str_dumps;
    PyObject *str_loads;
    PyObject *str_delete;
    PyObject *str_publish;
    PyObject *str_scan_iter;
    PyObject *str_decode;
    PyObject *str_warning;
    PyObject *str_error;
    // Keyword names of outbound calls, as vectorcall kwnames tuples.
    PyObject *kw_pool;  // host, port, max_connections, decode_responses
    PyObject *kw_connection_pool;
    PyObject *kw_maxsize;
    PyObject *kw_thread;  // target, name, daemon
    PyObject *kw_timeout;
    PyObject *kw_ex;
    PyObject *kw_match;
    PyObject *kw_redis_key;
    // Constants.
    PyObject *notify_suffix;   // "_notify"
    PyObject *notify_message;  // "1"
    PyObject *worker_name;     // "StoreLinkWorker"
    PyObject *get_timeout;     // 0.2
    PyObject *join_timeout;    // 0.5
    // Weak references to the threaded objects, for the at-fork hook.
    PyObject *live_writers;
    // The last type found to define none of the instance attribute names,
    // at this version tag (compared only, never dereferenced).
    const PyTypeObject *plain_type;
    unsigned int plain_type_version;
    // Set once this module object has been initialised.
    bool initialised;
};

// Fills every field; returns 0, or -1 with an exception set.
int state_init(ModuleState &state);
int state_traverse(ModuleState &state, visitproc visit, void *arg);
void state_clear(ModuleState &state);

}  // namespace store_link

#endif
