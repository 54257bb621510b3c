// The tables that fill ModuleState, generated from the lists in names.hpp
// that also declare its fields: one entry per field, checked against the
// struct's layout, and keyword tuples against their arity. They drive init,
// traverse and clear.
#include "state.hpp"
#include "writer.hpp"

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
#define STORE_LINK_NAME_ENTRY(name) {&ModuleState::str_##name, #name},
    STORE_LINK_INSTANCE_ATTRIBUTES(STORE_LINK_NAME_ENTRY)
        STORE_LINK_NAMES(STORE_LINK_NAME_ENTRY)
#undef STORE_LINK_NAME_ENTRY
};

// A text constant, interned.
struct ConstantEntry {
    PyObject *ModuleState::*field;
    const char *text;
};

const ConstantEntry constant_table[] = {
#define STORE_LINK_CONSTANT_ENTRY(field, value) {&ModuleState::field, value},
    STORE_LINK_CONSTANTS(STORE_LINK_CONSTANT_ENTRY)
#undef STORE_LINK_CONSTANT_ENTRY
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
#define STORE_LINK_KEYWORD_ENTRY(field, ...)                                  \
    keywords<&ModuleState::field>(__VA_ARGS__),
    STORE_LINK_KEYWORDS(STORE_LINK_KEYWORD_ENTRY)
#undef STORE_LINK_KEYWORD_ENTRY
};

// The generated fields come first, in the order of the tables; a field
// declared by hand among them would have no entry.
static_assert(offsetof(ModuleState, writers) ==
                  (std::size(name_table) + std::size(constant_table)) *
                          sizeof(PyObject *) +
                      std::size(keyword_table) * sizeof(KwNames<1>),
              "one table entry per generated field, and no other field "
              "before writers");

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
        S.*entry.field = PyUnicode_InternFromString(entry.text);
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
    // What it releases may run Python code, which must find it gone.
    Writers *writers = S.writers;
    S.writers = nullptr;
    writers_free(writers);
    for_each_object(S, [](PyObject *&object) {
        Py_CLEAR(object);
        return 0;
    });
}

}  // namespace store_link
