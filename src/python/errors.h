// The Python layer's own errors and the boundary where C++ failures become
// Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "pipeline/types.h"

namespace vesk::py {

struct VeskPyError {
  struct UnknownRegionKind {
    std::string text;
  };
  struct InvalidVllmCommit {
    std::size_t length;
  };
  struct Runtime {
    std::string message;
  };
  std::variant<UnknownRegionKind, InvalidVllmCommit, Runtime> v;

  std::string message() const;
  // Borrowed: ValueError, ValueError, RuntimeError.
  PyObject* exception_class() const;
};

// The text in double quotes, with quotes, backslashes and non-printable
// characters escaped, as the unknown-kind message shows it.
std::string quote_for_message(std::string_view utf8);

// Raises `err` as its Python exception. Always returns null, so that a
// function can end with `return raise(...)`.
std::nullptr_t raise(const VeskPyError& err);

// Adds `note` (BaseException.add_note) to the exception being raised, for
// what a person needs beside the message (which step failed, on which
// file). Always returns null, as raise does.
std::nullptr_t add_note(std::string_view note);

// The class for a refused internal consistency check. It derives from
// BaseException so that a plain `except Exception` cannot swallow it.
// Created once per process; false with an exception set when that fails.
bool ensure_internal_error_class();
// Borrowed; null before ensure_internal_error_class succeeded.
PyObject* internal_error_class();
std::nullptr_t raise_internal_error(const char* message);

// Called with the error of a failed argument conversion pending: a
// TypeError becomes "argument '{name}': {message}" with the original as
// its __cause__; other exceptions stay as they are.
void prefix_argument_error(const char* name);

// Runs `body` (which returns a new reference or null with an exception
// set) so that no C++ exception reaches the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const InternalFailure& e) {
    return raise_internal_error(e.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_error(e.what());
  } catch (...) {
    return raise_internal_error("unexpected C++ exception");
  }
}

}  // namespace vesk::py
