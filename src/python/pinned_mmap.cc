#include "python/pinned_mmap.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "backend/host_registration.h"
#include "python/backend.h"
#include "python/buffer_view.h"
#include "python/convert.h"
#include "python/error_attributes.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace vesk::py {
namespace {

// A process-wide number for the calling thread. Unlike a pthread id it is
// never reused after a thread ends, so a new thread can never pass for the
// one that created an object.
std::uint64_t current_thread_token() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t token = next.fetch_add(1, std::memory_order_relaxed);
  return token;
}

// Members in release order: the registration goes before the view, so the
// pages are unregistered while the exporter still holds them in place.
// close() empties both and leaves `closed` set; the object then refuses use.
struct PinnedState {
  std::optional<HostRegistration> registration;
  std::unique_ptr<BufferView> buffer;
  std::uint64_t ptr;
  std::size_t size;
  std::uint64_t owner_thread;
  bool closed = false;

  void release() {
    registration.reset();  // cudaHostUnregister, result ignored
    buffer.reset();        // the source may be closed or resized again
    closed = true;
  }
};

struct PinnedMmapObject {
  PyObject ob_base;
  bool constructed;  // tp_alloc zero-fills, so false until state is built
  alignas(PinnedState) unsigned char storage[sizeof(PinnedState)];
};

PinnedMmapObject* as_object(PyObject* self) { return reinterpret_cast<PinnedMmapObject*>(self); }
PinnedState& state_of(PyObject* self) {
  return *std::launder(reinterpret_cast<PinnedState*>(as_object(self)->storage));
}

constexpr const char* kUnsendable = "vesk::PinnedMmap is unsendable, but sent to another thread";
constexpr const char* kClosed = "vesk.PinnedMmap is closed: its pages are no longer registered";

bool on_owner_thread(PyObject* self) {
  if (state_of(self).owner_thread == current_thread_token()) return true;
  raise_internal_error(kUnsendable);
  return false;
}

// Use of a handle: on its own thread and not yet closed.
bool usable(PyObject* self) {
  if (!on_owner_thread(self)) return false;
  if (!state_of(self).closed) return true;
  PyErr_SetString(PyExc_ValueError, kClosed);
  return false;
}

PyObject* pinned_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"data", nullptr};
    PyObject* data = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PinnedMmap", const_cast<char**>(keywords), &data)) {
      return nullptr;
    }
    std::unique_ptr<BufferView> view = convert_arg("data", [&] { return BufferView::acquire(data); });
    if (!view) return nullptr;
    if (!bind_cuda_runtime()) return nullptr;
    auto registration = cuda_backend().host_register(view->data(), view->size());
    if (!registration) return raise_error(registration.error());

    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;  // the registration and the view are released on the way out
    const auto ptr = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(view->data()));
    const std::size_t size = view->size();
    std::construct_at(reinterpret_cast<PinnedState*>(as_object(self.get())->storage),
                      PinnedState{std::move(*registration), std::move(view), ptr, size, current_thread_token()});
    as_object(self.get())->constructed = true;
    return self.release();
  });
}

void pinned_dealloc(PyObject* self) {
  if (as_object(self)->constructed) {
    // Released on whichever thread drops the last reference (a cycle
    // collected by gc on another thread, say): no restore can be using the
    // pages then, since a restore holds a reference and the interpreter
    // lock for its whole duration, and unregistering is safe from any thread.
    PinnedState& state = state_of(self);
    state.release();
    std::destroy_at(&state);
  }
  Py_TYPE(self)->tp_free(self);
}

Py_ssize_t pinned_len(PyObject* self) {
  if (!usable(self)) return -1;
  const std::size_t size = state_of(self).size;
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "PinnedMmap size does not fit a Py_ssize_t");
    return -1;
  }
  return static_cast<Py_ssize_t>(size);
}

PyObject* pinned_size(PyObject* self, void*) {
  if (!usable(self)) return nullptr;
  return PyLong_FromSize_t(state_of(self).size);
}

PyObject* pinned_closed(PyObject* self, void*) {
  if (!on_owner_thread(self)) return nullptr;
  return PyBool_FromLong(state_of(self).closed);
}

// close(): unregisters the pages and releases the source buffer now rather
// than when the object goes; idempotent. Only the owning thread may close.
PyObject* pinned_close(PyObject* self, PyObject*) {
  if (!on_owner_thread(self)) return nullptr;
  state_of(self).release();
  Py_RETURN_NONE;
}

PyObject* pinned_enter(PyObject* self, PyObject*) {
  if (!usable(self)) return nullptr;
  return Py_NewRef(self);
}

PyObject* pinned_exit(PyObject* self, PyObject*) {
  if (!on_owner_thread(self)) return nullptr;
  state_of(self).release();
  Py_RETURN_FALSE;
}

// _read(offset, length) -> bytes: a copy of pinned bytes, for the named
// restore that reads the snapshot's manifest before any device copy.
PyObject* pinned_read(PyObject* self, PyObject* args) {
  unsigned long long offset = 0;
  unsigned long long length = 0;
  if (!PyArg_ParseTuple(args, "KK:_read", &offset, &length)) return nullptr;
  if (!usable(self)) return nullptr;
  const PinnedState& state = state_of(self);
  if (offset > state.size || length > state.size - offset) {
    PyErr_SetString(PyExc_ValueError, "range outside the pinned buffer");
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(static_cast<std::uintptr_t>(state.ptr + offset)),
                                   static_cast<Py_ssize_t>(length));
}

PyMethodDef pinned_methods[] = {
    {"close", pinned_close, METH_NOARGS,
     "close($self, /)\n--\n\nUnregister the pages and release the source buffer now; later use raises ValueError."},
    {"__enter__", pinned_enter, METH_NOARGS, nullptr},
    {"__exit__", pinned_exit, METH_VARARGS, nullptr},
    {"_read", pinned_read, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pinned_getset[] = {
    {"size", pinned_size, nullptr, "Number of bytes pinned.", nullptr},
    {"closed", pinned_closed, nullptr, "True once close() ran or the with block ended.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods pinned_as_sequence = {
    .sq_length = pinned_len,
};

constexpr const char* kPinnedDoc =
    "PinnedMmap(data)\n--\n\n"
    "A Python buffer pinned in place for DMA.\n"
    "\n"
    "Usage:\n"
    "\n"
    "    pinned = vesk.PinnedMmap(data)   # an mmap, bytes, bytearray or any buffer\n"
    "    vesk.restore_from_pinned_mmap(pinned, mapping)\n"
    "    vesk.restore_from_pinned_mmap(pinned, mapping)   # reuse across many restores\n"
    "    del pinned                       # unpins (cudaHostUnregister)\n"
    "\n"
    "    with vesk.PinnedMmap(data) as pinned:   # or unpin when the block ends\n"
    "        vesk.restore_from_pinned_mmap(pinned, mapping)\n"
    "\n"
    "Construction calls cudaHostRegister on the pages underneath `data`. The\n"
    "handle keeps a reference to the source buffer, so an mmap cannot be closed\n"
    "(nor a bytearray resized) under it, and keeps the registration, so the pages\n"
    "stay addressable for DMA. Dropping the handle, close() or the end of a\n"
    "with block unregisters the pages and releases the buffer; a closed handle\n"
    "raises ValueError when used.\n"
    "\n"
    "Construction is the slow step: its cost grows with the number of pages and\n"
    "reaches seconds for large snapshots. Reusing one handle turns the cost of\n"
    "each restore into little more than the DMA itself.\n"
    "\n"
    "Raises RuntimeError when cudaHostRegister fails, usually because the\n"
    "locked-memory limit (ulimit -l) is too low for the snapshot or the buffer is\n"
    "not page-aligned; fall back to vesk.restore_from_bytes_pipelined then.\n"
    "A handle belongs to the thread that created it; it is released wherever\n"
    "it is dropped.";

PyTypeObject pinned_type = {
    // The macro ends with its own comma.
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vesk.PinnedMmap",
    .tp_basicsize = sizeof(PinnedMmapObject),
    .tp_itemsize = 0,
    .tp_dealloc = pinned_dealloc,
    .tp_as_sequence = &pinned_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = kPinnedDoc,
    .tp_methods = pinned_methods,
    .tp_getset = pinned_getset,
    .tp_new = pinned_new,
};

}  // namespace

bool ready_pinned_mmap_type() { return PyType_Ready(&pinned_type) == 0; }

PyTypeObject* pinned_mmap_type() { return &pinned_type; }

std::optional<std::span<const std::uint8_t>> borrow_pinned_range(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, &pinned_type)) {
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PinnedMmap'", type_name.get());
    }
    return std::nullopt;
  }
  if (!usable(obj)) return std::nullopt;
  const PinnedState& state = state_of(obj);
  return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(state.ptr), state.size);
}

}  // namespace vesk::py
