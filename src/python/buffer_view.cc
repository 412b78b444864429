#include "python/buffer_view.h"

#include <cstring>

namespace vesk::py {
namespace {

// Single unsigned bytes or chars, in native, standard or big-endian
// notation; an absent format means unsigned bytes.
bool is_byte_format(const char* format) {
  if (format == nullptr) return true;
  static constexpr const char* kAccepted[] = {"B", "c", "@B", "@c", "=B", "=c", ">B", ">c"};
  for (const char* f : kAccepted) {
    if (std::strcmp(format, f) == 0) return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<BufferView> BufferView::acquire(PyObject* obj) {
  auto view = std::make_unique<BufferView>();
  if (PyObject_GetBuffer(obj, &view->view_, PyBUF_FULL_RO) != 0) {
    // A failed export leaves view_.obj null, so the destructor releases
    // nothing.
    return nullptr;
  }
  if (view->view_.itemsize != 1 || !is_byte_format(view->view_.format)) {
    view.reset();
    PyErr_SetString(PyExc_TypeError, "buffer contents are not compatible with u8");
    return nullptr;
  }
  // The pipelines read the range [buf, buf + len) as it lies in memory; a
  // strided export would be read wrongly, so it is refused rather than
  // copied behind the caller's back.
  if (!PyBuffer_IsContiguous(&view->view_, 'C')) {
    view.reset();
    PyErr_SetString(PyExc_TypeError,
                    "buffer is not C-contiguous: pass a contiguous copy, for example bytes(obj)");
    return nullptr;
  }
  return view;
}

}  // namespace vesk::py
