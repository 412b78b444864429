// A read-only view of an object that exports the buffer protocol, taken as
// one flat range of bytes. While the view exists the exporter keeps the
// memory in place (an mmap cannot be closed, a bytearray cannot be resized).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vesk::py {

class BufferView {
 public:
  // Null with a TypeError (or the exporter's own error) set when `obj` has
  // no buffer, its items are not single unsigned bytes, or its memory is not
  // one contiguous range.
  static std::unique_ptr<BufferView> acquire(PyObject* obj);

  // Not movable: exporters may keep pointers into the Py_buffer (shape
  // often points at its own len field), so it stays where it was filled.
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() { PyBuffer_Release(&view_); }

  std::uint8_t* data() const { return static_cast<std::uint8_t*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }
  std::span<const std::uint8_t> bytes() const { return {data(), size()}; }

  // For a caller that parses its arguments in one call: PyArg_ParseTuple's
  // "y*" fills this (any C-contiguous buffer, whatever its item format).
  // Released with the view, also when the parse fails after filling it.
  Py_buffer* fill_target() { return &view_; }

  BufferView() = default;  // for make_unique only; acquire() or "y*" fills it

 private:
  Py_buffer view_{};
};

}  // namespace vesk::py
