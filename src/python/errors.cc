#include "python/errors.h"

#include <cstdint>
#include <cstdio>

#include "python/cuda_status_notes.h"
#include "python/error_attributes.h"
#include "python/py_ref.h"

namespace vesk::py {
namespace {

PyObject* g_internal_error = nullptr;  // one strong reference, kept for the process

constexpr const char* kInternalErrorDoc =
    "Raised when vesk refuses an internal consistency check, for example a\n"
    "PinnedMmap used from a thread other than the one that created it, or a\n"
    "checksum worker that failed. It derives from BaseException, not from\n"
    "Exception, because it signals a bug or misuse rather than a condition\n"
    "to recover from.";

// Decodes one code point of valid UTF-8 (the text came from a Python str)
// and advances `i` past it.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (i + len > s.size()) len = 1;  // cannot happen for text from Python
  char32_t cp = len == 1 ? lead : len == 2 ? (lead & 0x1F) : len == 3 ? (lead & 0x0F) : (lead & 0x07);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (byte(i + k) & 0x3F);
  i += len;
  return cp;
}

}  // namespace

std::string quote_for_message(std::string_view utf8) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < utf8.size()) {
    const std::size_t start = i;
    const char32_t cp = next_code_point(utf8, i);
    switch (cp) {
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      default: break;
    }
    if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
      out.append(utf8.substr(start, i - start));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    }
  }
  out += '"';
  return out;
}

std::string VeskPyError::message() const {
  struct Visitor {
    std::string operator()(const UnknownRegionKind& e) const {
      return "unknown region kind " + quote_for_message(e.text) +
             ": expected one of \"weights\", \"kv_live_block\", \"metadata\"";
    }
    std::string operator()(const InvalidVllmCommit& e) const {
      return "vllm_commit must be exactly 40 bytes, got " + std::to_string(e.length);
    }
    std::string operator()(const Runtime& e) const { return "vesk runtime error: " + e.message; }
  };
  return std::visit(Visitor{}, v);
}

PyObject* VeskPyError::exception_class() const {
  return std::holds_alternative<Runtime>(v) ? PyExc_RuntimeError : PyExc_ValueError;
}

// Text of ours in UTF-8 that may hold a file name in the file system's own
// bytes: those come back as the name they were given as.
PyRef text_with_names(std::string_view text) {
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

std::nullptr_t raise(const VeskPyError& err) {
  const std::string text = err.message();
  PyRef msg = text_with_names(text);
  if (msg) PyErr_SetObject(err.exception_class(), msg.get());
  if (msg) tag_pending_exception(tag_of(err));
  add_cuda_status_note(text);
  return nullptr;
}

std::nullptr_t add_note(std::string_view note) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return nullptr;
  PyRef exc = PyRef::steal(raised);
  PyRef text = text_with_names(note);
  // A note that cannot be attached leaves the exception as it was.
  PyRef done = text ? PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "O", text.get())) : PyRef();
  if (!done) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

bool ensure_internal_error_class() {
  if (g_internal_error != nullptr) return true;
  g_internal_error = PyErr_NewExceptionWithDoc("vesk.InternalError", kInternalErrorDoc, PyExc_BaseException, nullptr);
  return g_internal_error != nullptr;
}

PyObject* internal_error_class() { return g_internal_error; }

std::nullptr_t raise_internal_error(const char* message) {
  if (!ensure_internal_error_class()) return nullptr;
  PyErr_SetString(g_internal_error, message);
  return nullptr;
}

void prefix_argument_error(const char* name) {
  PyObject* first = PyErr_GetRaisedException();
  if (first == nullptr) return;
  if (!PyErr_GivenExceptionMatches(first, PyExc_TypeError)) {
    PyErr_SetRaisedException(first);
    return;
  }
  PyRef cause = PyRef::steal(first);
  PyRef text = PyRef::steal(PyObject_Str(cause.get()));
  if (!text) return;  // the failure of str() is raised instead
  PyRef msg = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!msg) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), cause.release());
  PyErr_SetRaisedException(replacement.release());
}

}  // namespace vesk::py
