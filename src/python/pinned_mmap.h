// PinnedMmap: a caller's buffer registered once with the device runtime and
// kept registered (and exported) until it is closed or goes away, so that many
// restores can read it without registering it again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

namespace vesk::py {

// Readies the class; false with an exception set on failure.
bool ready_pinned_mmap_type();
// Borrowed; valid after ready_pinned_mmap_type succeeded.
PyTypeObject* pinned_mmap_type();

// The registered range of a PinnedMmap, for restore_from_pinned_mmap. Fails
// with a TypeError for any other object and with the internal error when
// called from a thread other than the creating one, with a ValueError once
// the handle is closed.
std::optional<std::span<const std::uint8_t>> borrow_pinned_range(PyObject* obj);

}  // namespace vesk::py
