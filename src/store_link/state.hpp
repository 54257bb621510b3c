// Module state: interned names, keyword tuples and constants the operations
// use, and what an operation runs with (Context).
#ifndef STORE_LINK_STATE_HPP
#define STORE_LINK_STATE_HPP

#include "names.hpp"
#include "ref.hpp"

#include <cstddef>

namespace store_link {

struct Writers;

// A vectorcall kwnames tuple of N names; a call passes its last N values by
// these keywords, and the call helpers check that at compile time.
template <size_t N>
struct KwNames {
    static constexpr size_t count = N;
    PyObject *tuple;
};

template <typename... Names>
constexpr size_t
keyword_count(Names...)
{
    return sizeof...(Names);
}

// Every field of the lists in names.hpp has its entry in a table of
// state.cpp, generated from the same list; the tables' sizes are checked
// against the struct's layout there.
struct ModuleState {
#define STORE_LINK_NAME_FIELD(name) PyObject *str_##name;
    STORE_LINK_INSTANCE_ATTRIBUTES(STORE_LINK_NAME_FIELD)
    STORE_LINK_NAMES(STORE_LINK_NAME_FIELD)
#undef STORE_LINK_NAME_FIELD
#define STORE_LINK_CONSTANT_FIELD(field, value) PyObject *field;
    STORE_LINK_CONSTANTS(STORE_LINK_CONSTANT_FIELD)
#undef STORE_LINK_CONSTANT_FIELD
#define STORE_LINK_KEYWORD_FIELD(field, ...)                                  \
    KwNames<keyword_count(__VA_ARGS__)> field;
    STORE_LINK_KEYWORDS(STORE_LINK_KEYWORD_FIELD)
#undef STORE_LINK_KEYWORD_FIELD

    // The writer protocol's bookkeeping (writer.cpp); null once cleared.
    Writers *writers;
    // The last type found to define none of the instance attribute names,
    // at this version tag (compared only, never dereferenced).
    const PyTypeObject *plain_type;
    unsigned int plain_type_version;
};

// What an operation runs with besides its arguments: the module's state and
// its globals, where the collaborators are looked up at each use. Both live
// as long as the function being called.
struct Context {
    ModuleState &state;
    PyObject *globals;
};

// Fills every field but `writers`; returns 0, or -1 with an exception set.
int state_init(ModuleState &state);
int state_traverse(ModuleState &state, visitproc visit, void *arg);
void state_clear(ModuleState &state);

}  // namespace store_link

#endif
