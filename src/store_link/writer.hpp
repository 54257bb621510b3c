// The background writer of threaded objects, as one protocol: the hand-over
// of a frame record, the worker that stores it, the DEL that cancels what
// was handed over before it, the shutdown, the stop of every writer at
// interpreter exit, and the pause across a fork with the re-arm in the child.
// Its bookkeeping is C++ state (Writers, in writer.cpp) that no Python code
// can reach. Every function returns 0 / a new reference, or -1 / nullptr with
// an exception set, and may run Python code.
#ifndef STORE_LINK_WRITER_HPP
#define STORE_LINK_WRITER_HPP

#include "state.hpp"

namespace store_link {

struct Writers;

// At import: the protocol's state, with the module's exit callback and its
// at-fork hooks registered. Returns nullptr with an exception set.
Writers *writers_new(PyObject *module);
// At teardown. Releases what the state owns, which may run Python code.
void writers_free(Writers *writers);

// Construction, every object: known to the at-fork hooks and to the exit
// callback from now on.
int writer_track(const Context &cx, PyObject *self);
// Construction, every object: self._stop_evt = threading.Event().
int writer_new_stop_event(const Context &cx, PyObject *self);
// Construction, threaded objects: the queue of `maxsize`, the started worker
// and the exit handler.
int writer_start(const Context &cx, PyObject *self, PyObject *maxsize);

// write_orba_data on a threaded object: hands the record to the worker
// without waiting (a full queue loses its oldest pending write), or stores it
// on the caller's thread when the queue cannot take it. The result of the
// call.
PyObject *writer_hand_over(const Context &cx, PyObject *self, PyObject *data,
                           PyObject *redis_key, PyObject *ttl);

// Before a DEL of `keys` (owned by the caller for the call): cancels the
// frame writes of those keys handed over before it, and waits (bounded) for a
// store of one of them that the worker has begun. -1 only for an exception
// outside the Exception family (Ctrl-C ends the wait).
int writer_order_delete(const Context &cx, PyObject *self,
                        PyObject *const *keys, Py_ssize_t count);

}  // namespace store_link

#endif
