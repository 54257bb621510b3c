// Module state: interned names, keyword tuples and constants the operations
// use, and what an operation runs with (Context).
#ifndef STORE_LINK_STATE_HPP
#define STORE_LINK_STATE_HPP

#include "ref.hpp"

#include <cstddef>

namespace store_link {

// A vectorcall kwnames tuple of N names; a call passes its last N values by
// these keywords, and the call helpers check that at compile time.
template <size_t N>
struct KwNames {
    static constexpr size_t count = N;
    PyObject *tuple;
};

// Every field is filled from a table in module.cpp (name_table,
// constant_table, keyword_table), and a field without its table entry fails
// to compile.
struct ModuleState {
    // Interned names. Instance attributes:
    PyObject *str__use_thread;
    PyObject *str__redis_client;
    PyObject *str__executor;
    PyObject *str__queue;
    PyObject *str__worker;
    PyObject *str__stop_evt;
    // methods of StoreLink that the operations call through the object:
    PyObject *str__shutdown_executor;
    PyObject *str__worker_loop;
    PyObject *str__write_;
    PyObject *str_delete_data;
    PyObject *str_read_data;
    // module globals:
    PyObject *str_orjson;
    PyObject *str_threading;
    PyObject *str_atexit;
    PyObject *str_queue;
    PyObject *str_redis;
    PyObject *str_logger;
    // attributes of the collaborators:
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
    PyObject *str_connection_pool;
    PyObject *str__lock;
    PyObject *str__fork_lock;
    PyObject *str__at_fork_reinit;
    PyObject *str_Lock;
    PyObject *str_dumps;
    PyObject *str_loads;
    PyObject *str_delete;
    PyObject *str_publish;
    PyObject *str_scan_iter;
    PyObject *str_decode;
    PyObject *str_warning;
    PyObject *str_error;
    PyObject *str_mutex;
    PyObject *str_acquire;
    PyObject *str_release;
    PyObject *str_clear;
    PyObject *str_extend;
    PyObject *str_unfinished_tasks;
    PyObject *str_main_thread;
    PyObject *str_is_alive;

    // Constants.
    PyObject *notify_suffix;   // "_notify"
    PyObject *notify_message;  // "1"
    PyObject *worker_name;     // "StoreLinkWorker"
    PyObject *get_timeout;     // 0.2
    PyObject *join_timeout;    // 0.5

    // Keyword names of outbound calls.
    KwNames<4> kw_pool;  // host, port, max_connections, decode_responses
    KwNames<1> kw_connection_pool;
    KwNames<1> kw_maxsize;
    KwNames<3> kw_thread;  // target, name, daemon
    KwNames<1> kw_timeout;
    KwNames<1> kw_ex;
    KwNames<1> kw_match;
    KwNames<1> kw_redis_key;

    // Weak references to every object __init__ has run on, for the at-fork
    // hooks and the exit handlers; replaced as a whole, never edited.
    PyObject *live_writers;
    // {id(object): (redis_key, thread ident)} for each store a worker is in.
    PyObject *stores_in_flight;
    // {(id(object), redis_key): count} for each DEL under way on a threaded
    // object.
    PyObject *deletes_in_progress;
    // Forks between their before and after hooks; no worker starts a store
    // meanwhile.
    int forks_pending;
    // Set once an exit handler has asked every writer to stop.
    bool exit_stop_sent;
    // The last type found to define none of the instance attribute names,
    // at this version tag (compared only, never dereferenced).
    const PyTypeObject *plain_type;
    unsigned int plain_type_version;
    // Set once this module object has been initialised.
    bool initialised;
};

// What an operation runs with besides its arguments: the module's state and
// its globals, where the collaborators are looked up at each use. Both live
// as long as the function being called.
struct Context {
    ModuleState &state;
    PyObject *globals;
};

// Fills every field; returns 0, or -1 with an exception set.
int state_init(ModuleState &state);
int state_traverse(ModuleState &state, visitproc visit, void *arg);
void state_clear(ModuleState &state);

}  // namespace store_link

#endif
