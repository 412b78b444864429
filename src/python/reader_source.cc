#include "python/reader_source.h"

#include "pipeline/error_wrap.h"
#include "remote/remote_source.h"
#include "python/error_attributes.h"
#include "python/pinned_mmap.h"

namespace vesk::py {
namespace {

// Path objects keep their name in messages; bytes are snapshot data.
bool is_path(PyObject* obj) {
  return PyUnicode_Check(obj) || (!PyObject_CheckBuffer(obj) && PyObject_HasAttrString(obj, "__fspath__"));
}

std::optional<std::string> fs_text(PyObject* obj) {
  PyObject* encoded_raw = nullptr;
  if (!PyUnicode_FSConverter(obj, &encoded_raw)) return std::nullopt;
  PyRef encoded = PyRef::steal(encoded_raw);
  return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// A label given as text: kept as the UTF-8 of the text, with escapes for
// what does not encode.
std::optional<std::string> label_text(PyObject* label) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(label, "utf-8", "backslashreplace"));
  if (!bytes) return std::nullopt;
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// A remote object whose reads let other Python threads run while they wait
// on the network; a read on a thread without the interpreter lock (a
// reader's worker) goes straight through.
class UnlockedReads final : public ByteSource {
 public:
  explicit UnlockedReads(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {}
  std::uint64_t length() const override { return inner_->length(); }
  std::string label() const override { return inner_->label(); }
  IoResult<void> read_exact(std::span<std::byte> buf, std::uint64_t offset) const override {
    if (!PyGILState_Check()) return inner_->read_exact(buf, offset);
    PyThreadState* saved = PyEval_SaveThread();
    auto r = inner_->read_exact(buf, offset);
    PyEval_RestoreThread(saved);
    return r;
  }

 private:
  std::unique_ptr<ByteSource> inner_;
};

}  // namespace

std::unique_ptr<PySource> open_py_source(PyObject* obj, PyObject* label) {
  auto out = std::make_unique<PySource>();
  std::string name = "snapshot in memory";
  if (label != nullptr && label != Py_None) {
    if (!PyUnicode_Check(label)) {
      PyErr_SetString(PyExc_TypeError, "label must be str");
      return nullptr;
    }
    auto text = label_text(label);
    if (!text) return nullptr;
    name = *text;
  }
  if (PyObject_TypeCheck(obj, pinned_mmap_type())) {
    out->owner = PyRef::borrow(obj);
    auto range = borrow_pinned_range(obj);
    if (!range) return nullptr;
    out->source = std::make_unique<MemoryByteSource>(std::as_bytes(*range), name);
    return out;
  }
  if (is_path(obj)) {
    auto path = fs_text(obj);
    if (!path) return nullptr;
    // A URL in a str is a remote object; the interpreter lock is released
    // while it is reached.
    IoResult<std::unique_ptr<ByteSource>> file = std::unexpected(IoError::custom(IoErrorKind::Other, ""));
    if (PyUnicode_Check(obj) && is_remote_url(*path)) {
      PyThreadState* saved = PyEval_SaveThread();
      auto remote = open_remote_source(*path);
      PyEval_RestoreThread(saved);
      file = remote ? IoResult<std::unique_ptr<ByteSource>>(std::make_unique<UnlockedReads>(std::move(*remote)))
                    : std::unexpected(remote.error());
    } else {
      auto local = open_file_source(*path);
      file = local ? IoResult<std::unique_ptr<ByteSource>>(std::move(*local)) : std::unexpected(local.error());
    }
    if (!file) {
      raise_error(ReadError{ReadError::Restore{io_err<RestoreError>(file.error())}});
      return nullptr;
    }
    if (label == nullptr || label == Py_None) {
      out->source = std::move(*file);
    } else {
      // The same open file, under the caller's name for it.
      struct Renamed final : ByteSource {
        std::unique_ptr<ByteSource> inner;
        std::string name;
        std::uint64_t length() const override { return inner->length(); }
        IoResult<void> read_exact(std::span<std::byte> buf, std::uint64_t offset) const override {
          return inner->read_exact(buf, offset);
        }
        std::string label() const override { return name; }
      };
      auto renamed = std::make_unique<Renamed>();
      renamed->inner = std::move(*file);
      renamed->name = name;
      out->source = std::move(renamed);
    }
    return out;
  }
  out->view = BufferView::acquire(obj);
  if (!out->view) return nullptr;
  out->source = std::make_unique<MemoryByteSource>(std::as_bytes(out->view->bytes()), name);
  return out;
}

}  // namespace vesk::py
