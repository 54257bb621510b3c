// Owned references: one visible owner for every new reference.
#ifndef STORE_LINK_REF_HPP
#define STORE_LINK_REF_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace store_link {

// A move-only owner of one strong reference, or of nothing. An empty Ref
// returned by a helper means "NULL with an exception set".
//
// The rule for borrowed references: a borrowed PyObject * is valid only until
// the next step that can run Python code, and almost every step can: a dict
// lookup whose keys may not be exact str (a key's __eq__), any allocation
// (the cyclic GC runs finalizers and weakref callbacks), attribute access,
// truth tests, number conversions, %S/%R formatting, any call. Whatever must
// outlive such a step (a type's descriptor, an instance dict, the length of a
// list) is owned in a Ref first, or read again after the step.
class [[nodiscard]] Ref {
public:
    Ref() = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        PyObject *old = obj_;
        obj_ = other.obj_;
        other.obj_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a reference the caller owns (the result of a C-API call
    // returning a new reference); nullptr stays empty.
    static Ref steal(PyObject *obj) { return Ref(obj); }
    // Adds a reference of its own to a borrowed object.
    static Ref new_ref(PyObject *obj)
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject *get() const { return obj_; }
    // Hands the reference to the caller, who now owns it.
    PyObject *release()
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject *obj) : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

}  // namespace store_link

#endif
