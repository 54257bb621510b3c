// The tables that fill ModuleState: one entry per field, each group checked
// against the struct's layout, so that a field without its entry (or an
// entry too many) fails to compile. They drive init, traverse and clear.
#include "state.hpp"

#include <cstddef>
#include <iterator>
#include <type_traits>
#include <utility>

namespace store_link {

namespace {

struct NameEntry {
    PyObject *ModuleState::*field;
    const char *text;
};

const NameEntry name_table[] = {
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
    {&ModuleState::str_connection_pool, "connection_pool"},
    {&ModuleState::str__lock, "_lock"},
    {&ModuleState::str__fork_lock, "_fork_lock"},
    {&ModuleState::str__at_fork_reinit, "_at_fork_reinit"},
    {&ModuleState::str_Lock, "Lock"},
    {&ModuleState::str_dumps, "dumps"},
    {&ModuleState::str_loads, "loads"},
    {&ModuleState::str_delete, "delete"},
    {&ModuleState::str_publish, "publish"},
    {&ModuleState::str_scan_iter, "scan_iter"},
    {&ModuleState::str_decode, "decode"},
    {&ModuleState::str_warning, "warning"},
    {&ModuleState::str_error, "error"},
    {&ModuleState::str_mutex, "mutex"},
    {&ModuleState::str_acquire, "acquire"},
    {&ModuleState::str_release, "release"},
    {&ModuleState::str_clear, "clear"},
    {&ModuleState::str_extend, "extend"},
    {&ModuleState::str_unfinished_tasks, "unfinished_tasks"},
    {&ModuleState::str_main_thread, "main_thread"},
    {&ModuleState::str_is_alive, "is_alive"},
};

// A text constant (interned), or a float where `text` is null.
struct ConstantEntry {
    PyObject *ModuleState::*field;
    const char *text;
    double number;
};

const ConstantEntry constant_table[] = {
    {&ModuleState::notify_suffix, "_notify", 0},
    {&ModuleState::notify_message, "1", 0},
    {&ModuleState::worker_name, "StoreLinkWorker", 0},
    {&ModuleState::get_timeout, nullptr, 0.2},
    {&ModuleState::join_timeout, nullptr, 0.5},
};

template <auto field>
PyObject *&
keyword_tuple(ModuleState &S)
{
    return (S.*field).tuple;
}

constexpr size_t kMaxKeywords = 4;

struct KeywordEntry {
    PyObject *&(*tuple)(ModuleState &S);
    const char *names[kMaxKeywords];
    size_t count;
};

// The entry of a KwNames<N> field: N names, or it fails to compile.
template <auto field, typename... Names>
constexpr KeywordEntry
keywords(Names... names)
{
    using Field =
        std::remove_reference_t<decltype(std::declval<ModuleState &>().*
                                         field)>;
    static_assert(Field::count == sizeof...(Names),
                  "a keyword tuple lists as many names as its type says");
    static_assert(sizeof...(Names) <= kMaxKeywords);
    return KeywordEntry{keyword_tuple<field>, {names...}, sizeof...(Names)};
}

const KeywordEntry keyword_table[] = {
    keywords<&ModuleState::kw_pool>("host", "port", "max_connections",
                                    "decode_responses"),
    keywords<&ModuleState::kw_connection_pool>("connection_pool"),
    keywords<&ModuleState::kw_maxsize>("maxsize"),
    keywords<&ModuleState::kw_thread>("target", "name", "daemon"),
    keywords<&ModuleState::kw_timeout>("timeout"),
    keywords<&ModuleState::kw_ex>("ex"),
    keywords<&ModuleState::kw_match>("match"),
    keywords<&ModuleState::kw_redis_key>("redis_key"),
};

constexpr size_t kPointer = sizeof(PyObject *);
static_assert(offsetof(ModuleState, notify_suffix) ==
                  std::size(name_table) * kPointer,
              "one name_table entry per interned name");
static_assert(offsetof(ModuleState, kw_pool) -
                      offsetof(ModuleState, notify_suffix) ==
                  std::size(constant_table) * kPointer,
              "one constant_table entry per constant");
static_assert(offsetof(ModuleState, live_writers) -
                      offsetof(ModuleState, kw_pool) ==
                  std::size(keyword_table) * sizeof(KwNames<1>),
              "one keyword_table entry per keyword tuple");

PyObject *
new_constant(const ConstantEntry &entry)
{
    if (entry.text == nullptr) {
        return PyFloat_FromDouble(entry.number);
    }
    return PyUnicode_InternFromString(entry.text);
}

PyObject *
interned_tuple(const KeywordEntry &entry)
{
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(entry.count)));
    if (!tuple) {
        return nullptr;
    }
    for (size_t i = 0; i < entry.count; i++) {
        PyObject *text = PyUnicode_InternFromString(entry.names[i]);
        if (text == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
    }
    return tuple.release();
}

PyObject *ModuleState::*const tracking_fields[] = {
    &ModuleState::live_writers,
    &ModuleState::stores_in_flight,
    &ModuleState::deletes_in_progress,
};

// Every object the state owns, for traverse and clear.
template <typename Visit>
int
for_each_object(ModuleState &S, Visit visit)
{
    for (const NameEntry &entry : name_table) {
        int err = visit(S.*entry.field);
        if (err != 0) {
            return err;
        }
    }
    for (const ConstantEntry &entry : constant_table) {
        int err = visit(S.*entry.field);
        if (err != 0) {
            return err;
        }
    }
    for (const KeywordEntry &entry : keyword_table) {
        int err = visit(entry.tuple(S));
        if (err != 0) {
            return err;
        }
    }
    for (PyObject *ModuleState::*field : tracking_fields) {
        int err = visit(S.*field);
        if (err != 0) {
            return err;
        }
    }
    return 0;
}

}  // namespace

int
state_init(ModuleState &S)
{
    for (const NameEntry &entry : name_table) {
        S.*entry.field = PyUnicode_InternFromString(entry.text);
        if (S.*entry.field == nullptr) {
            return -1;
        }
    }
    for (const ConstantEntry &entry : constant_table) {
        S.*entry.field = new_constant(entry);
        if (S.*entry.field == nullptr) {
            return -1;
        }
    }
    for (const KeywordEntry &entry : keyword_table) {
        entry.tuple(S) = interned_tuple(entry);
        if (entry.tuple(S) == nullptr) {
            return -1;
        }
    }
    S.live_writers = PyList_New(0);
    S.stores_in_flight = PyDict_New();
    S.deletes_in_progress = PyDict_New();
    if (S.live_writers == nullptr || S.stores_in_flight == nullptr ||
        S.deletes_in_progress == nullptr) {
        return -1;
    }
    return 0;
}

int
state_traverse(ModuleState &S, visitproc visit, void *arg)
{
    return for_each_object(S, [&](PyObject *object) {
        Py_VISIT(object);
        return 0;
    });
}

void
state_clear(ModuleState &S)
{
    for_each_object(S, [](PyObject *&object) {
        Py_CLEAR(object);
        return 0;
    });
}

}  // namespace store_link
