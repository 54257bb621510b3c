// Everything the module declares by name, each in one list: StoreLink's
// methods, and the interned names, constants and keyword tuples of its state.
// Each list is expanded where a declaration, a field or a table entry is
// needed (operations.hpp, module.cpp, state.hpp, state.cpp), as CPython
// generates its _Py_ID strings from one list. One entry per line.
#ifndef STORE_LINK_NAMES_HPP
#define STORE_LINK_NAMES_HPP

// StoreLink's methods, in class-body order: X(op) is the MethodSpec op_spec
// that the operation's file defines.
#define STORE_LINK_METHODS(X)                                                 \
    X(init)                                                                   \
    X(shutdown_executor)                                                      \
    X(worker_loop)                                                            \
    X(write_step)                                                             \
    X(write_orba_data)                                                        \
    X(delete_data)                                                            \
    X(delete_many)                                                            \
    X(scan_keys)                                                              \
    X(write_data)                                                             \
    X(read_data)                                                              \
    X(read_orba_data)

// StoreLink's instance attributes: X(name) is the interned "name" in the
// state field str_<name>. A type that defines none of them leaves them to
// its instances' __dict__ (operations.cpp).
#define STORE_LINK_INSTANCE_ATTRIBUTES(X)                                     \
    X(_use_thread)                                                            \
    X(_redis_client)                                                          \
    X(_executor)                                                              \
    X(_queue)                                                                 \
    X(_worker)                                                                \
    X(_stop_evt)

// The other interned names, as above.
#define STORE_LINK_NAMES(X)                                                   \
    /* methods of StoreLink that the operations call through the object */    \
    X(_shutdown_executor)                                                     \
    X(_worker_loop)                                                           \
    X(_write_)                                                                \
    X(delete_data)                                                            \
    X(read_data)                                                              \
    /* module globals */                                                      \
    X(orjson)                                                                 \
    X(threading)                                                              \
    X(atexit)                                                                 \
    X(queue)                                                                  \
    X(redis)                                                                  \
    X(logger)                                                                 \
    /* attributes of the collaborators */                                     \
    X(ConnectionPool)                                                         \
    X(StrictRedis)                                                            \
    X(Event)                                                                  \
    X(Thread)                                                                 \
    X(Queue)                                                                  \
    X(Full)                                                                   \
    X(Empty)                                                                  \
    X(register)                                                               \
    X(start)                                                                  \
    X(join)                                                                   \
    X(set)                                                                    \
    X(is_set)                                                                 \
    X(get)                                                                    \
    X(put_nowait)                                                             \
    X(get_nowait)                                                             \
    X(task_done)                                                              \
    X(maxsize)                                                                \
    X(connection_pool)                                                        \
    X(_lock)                                                                  \
    X(_fork_lock)                                                             \
    X(_at_fork_reinit)                                                        \
    X(Lock)                                                                   \
    X(dumps)                                                                  \
    X(loads)                                                                  \
    X(delete)                                                                 \
    X(publish)                                                                \
    X(scan_iter)                                                              \
    X(decode)                                                                 \
    X(warning)                                                                \
    X(error)                                                                  \
    /* what the writer protocol waits with, and tells callers apart by */     \
    X(acquire)                                                                \
    X(release)                                                                \
    X(get_ident)

// Constants: X(field, value), an interned text or a float.
#define STORE_LINK_CONSTANTS(X)                                               \
    X(notify_suffix, "_notify")                                               \
    X(notify_message, "1")                                                    \
    X(worker_name, "StoreLinkWorker")

// Keyword names of outbound calls: X(field, names...) is a KwNames<N> of the
// N names, interned.
#define STORE_LINK_KEYWORDS(X)                                                \
    X(kw_pool, "host", "port", "max_connections", "decode_responses")         \
    X(kw_connection_pool, "connection_pool")                                  \
    X(kw_maxsize, "maxsize")                                                  \
    X(kw_thread, "target", "name", "daemon")                                  \
    X(kw_timeout, "timeout")                                                  \
    X(kw_ex, "ex")                                                            \
    X(kw_match, "match")                                                      \
    X(kw_redis_key, "redis_key")

#endif
