// StoreLink's methods: their declarative signatures, and the function type
// that binds a call's arguments by them and runs the operation.
#ifndef STORE_LINK_FUNCTION_HPP
#define STORE_LINK_FUNCTION_HPP

#include "compat.hpp"
#include "state.hpp"

#include <iterator>
#include <type_traits>
#include <utility>

namespace store_link {

// What a parameter accepts. Conversions run first, in parameter order, then
// the exact-type tests, in parameter order.
enum class ArgKind : unsigned char {
    Any,           // no test
    Truth,         // any object, bound as its truth value (True/False)
    Int,           // exact int; another number goes through int()
    OptionalInt,   // None, or as Int
    Str,           // exact str
    Dict,          // exact dict
    OptionalDict,  // None, or exact dict
    List,          // exact list
};

// A parameter's default, made when its method is made, at import. `make`
// returns a new reference, or NULL with an exception set; `globals` are the
// module's. (A flag rather than a null test of `make`, which GCC does not
// fold in a constant expression under -fsanitize=undefined.)
struct Default {
    PyObject *(*make)(PyObject *globals);
    bool given;
};

inline PyObject *
make_none(PyObject *)
{
    Py_RETURN_NONE;
}

inline PyObject *
make_true(PyObject *)
{
    Py_RETURN_TRUE;
}

template <long value>
PyObject *
make_int(PyObject *)
{
    return PyLong_FromLong(value);
}

constexpr Default default_none = {make_none, true};
constexpr Default default_true = {make_true, true};
template <long value>
constexpr Default default_int = {make_int<value>, true};

struct Param {
    const char *name;
    ArgKind kind;
    const char *annotation;  // source text, or nullptr for none
    Default default_value = {nullptr,
                             false};  // none: the argument is required
};

constexpr Param self_param = {"self", ArgKind::Any, nullptr};
constexpr Param redis_key_param = {"redis_key", ArgKind::Str, "str"};
constexpr Param ttl_param = {"ttl", ArgKind::OptionalInt, "Optional[int]",
                             default_none};

constexpr Py_ssize_t kMaxParams = 5;

// Runs an operation on the bound arguments, one per parameter (the object
// first). Returns a new reference, or NULL with an exception set.
using Adapter = PyObject *(*)(const Context &cx, PyObject *const *args);

struct MethodSpec {
    const char *name;
    const Param *params;  // the object first
    Py_ssize_t nparams;
    Py_ssize_t ndefaults;  // trailing parameters that have one
    const char *return_annotation;
    const char *doc;
    Adapter run;
    // Bit i set: parameter i is converted / type-tested (the object never).
    unsigned converted_mask;
    unsigned tested_mask;
};

constexpr bool
is_conversion(ArgKind kind)
{
    return kind == ArgKind::Truth || kind == ArgKind::Int ||
           kind == ArgKind::OptionalInt;
}

constexpr bool
is_type_test(ArgKind kind)
{
    return kind == ArgKind::Str || kind == ArgKind::Dict ||
           kind == ArgKind::OptionalDict || kind == ArgKind::List;
}

// An operation is a plain function of the context and one PyObject * per
// parameter: PyObject *op(const Context &cx, PyObject *self, ...).
template <typename Operation>
struct OperationArity;

template <typename... Args>
struct OperationArity<PyObject *(*)(const Context &, Args...)> {
    static_assert((std::is_same_v<Args, PyObject *> && ...),
                  "every parameter of an operation is a PyObject *");
    static constexpr size_t value = sizeof...(Args);
};

template <auto operation, size_t... I>
PyObject *
run_operation(const Context &cx, PyObject *const *args,
              std::index_sequence<I...>)
{
    return operation(cx, args[I]...);
}

template <auto operation>
PyObject *
adapter(const Context &cx, PyObject *const *args)
{
    constexpr size_t arity = OperationArity<decltype(operation)>::value;
    return run_operation<operation>(cx, args,
                                    std::make_index_sequence<arity>{});
}

// True when no parameter without a default follows one with a default, and
// the object has none.
template <size_t N>
constexpr bool
defaults_come_last(const Param (&params)[N])
{
    for (size_t i = 1; i < N; i++) {
        if (params[i - 1].default_value.given &&
            !params[i].default_value.given) {
            return false;
        }
    }
    return !params[0].default_value.given;
}

template <size_t N>
constexpr Py_ssize_t
count_defaults(const Param (&params)[N])
{
    Py_ssize_t count = 0;
    for (const Param &param : params) {
        count += param.default_value.given ? 1 : 0;
    }
    return count;
}

// The MethodSpec of `operation`, described by the table `params`; the table
// and the operation's parameters must agree in number, and the defaults
// come last.
template <auto operation, const auto &params>
constexpr MethodSpec
method_spec(const char *name, const char *return_annotation,
            const char *doc = nullptr)
{
    constexpr size_t N = std::size(params);
    static_assert(N <= kMaxParams, "a call binds at most kMaxParams");
    static_assert(OperationArity<decltype(operation)>::value == N,
                  "an operation takes one argument per parameter of its "
                  "table, the object included");
    static_assert(defaults_come_last(params),
                  "parameters with a default come last, after the object");
    unsigned converted = 0, tested = 0;
    for (size_t i = 1; i < N; i++) {
        converted |= is_conversion(params[i].kind) ? 1u << i : 0u;
        tested |= is_type_test(params[i].kind) ? 1u << i : 0u;
    }
    return MethodSpec{name,
                      params,
                      N,
                      count_defaults(params),
                      return_annotation,
                      doc,
                      adapter<operation>,
                      converted,
                      tested};
}

extern PyTypeObject FunctionType;

// Readies FunctionType; returns 0, or -1 with an exception set.
int function_type_ready();

// Returns a new function bound to the module's globals, with the defaults
// of its parameters made now, or NULL with an exception set.
PyObject *function_new(const MethodSpec &spec, PyObject *module,
                       const char *class_name);

}  // namespace store_link

#endif
