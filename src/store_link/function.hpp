// The function type of StoreLink's methods and their declarative signatures.
#ifndef STORE_LINK_FUNCTION_HPP
#define STORE_LINK_FUNCTION_HPP

#include "compat.hpp"
#include "state.hpp"

namespace store_link {

// What a parameter accepts. Conversions run first, in parameter order, then
// the exact-type tests, in parameter order.
enum class ArgKind {
    Any,           // no test
    Truth,         // any object, bound as its truth value (True/False)
    Int,           // exact int; another number goes through int()
    OptionalInt,   // None, or as Int
    Str,           // exact str
    Dict,          // exact dict
    OptionalDict,  // None, or exact dict
    List,          // exact list
};

struct Param {
    const char *name;
    ArgKind kind;
    const char *annotation;  // source text, or nullptr for none
};

constexpr Param self_param = {"self", ArgKind::Any, nullptr};
constexpr Param redis_key_param = {"redis_key", ArgKind::Str, "str"};

constexpr Py_ssize_t kMaxParams = 5;

// The arguments of one call after binding and conversion: args[0] is the
// object. Every entry is valid for the whole call (borrowed from the caller,
// the defaults, or owned by `converted`).
struct Call {
    ModuleState &state;
    PyObject *globals;
    PyObject *args[kMaxParams];  // filled by the binding
    Ref converted[kMaxParams];
};

// Returns a new reference, or NULL with an exception set.
using Impl = PyObject *(*)(Call &call);

struct MethodSpec {
    const char *name;
    const Param *params;  // the object first
    Py_ssize_t nparams;
    Py_ssize_t ndefaults;  // trailing parameters that have one
    const char *return_annotation;
    const char *doc;
    Impl impl;
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

extern PyTypeObject FunctionType;

// Readies FunctionType; returns 0, or -1 with an exception set.
int function_type_ready();

// A MethodSpec whose parameter count comes from the table itself.
template <size_t N>
constexpr MethodSpec
method_spec(const char *name, const Param (&params)[N], Py_ssize_t ndefaults,
            const char *return_annotation, Impl impl,
            const char *doc = nullptr)
{
    static_assert(N <= kMaxParams, "Call::args has room for kMaxParams");
    unsigned converted = 0, tested = 0;
    for (size_t i = 1; i < N; i++) {
        converted |= is_conversion(params[i].kind) ? 1u << i : 0u;
        tested |= is_type_test(params[i].kind) ? 1u << i : 0u;
    }
    return MethodSpec{name, params, N,         ndefaults, return_annotation,
                      doc,  impl,   converted, tested};
}

// Returns a new function bound to the module's globals, or NULL with an
// exception set. `defaults` is a tuple of spec.ndefaults items, or NULL for
// all None.
PyObject *function_new(const MethodSpec &spec, PyObject *module,
                       PyObject *defaults, const char *class_name);

// TypeError "Argument '...' has incorrect type (...)"; returns -1.
int raise_argument_type(const char *param, const char *expected,
                        PyObject *given, bool subclass);

}  // namespace store_link

#endif
