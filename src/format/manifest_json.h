// A cursor over JSON text that reads exactly the shapes the manifest uses
// (objects, arrays, strings, non-negative integers) and skips anything else
// within a nesting bound. Every failure is one message with the byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vesk::manifest_json {

// Nesting deeper than this is no manifest: the schema needs three levels.
inline constexpr int kMaxDepth = 32;

using Status = std::expected<void, std::string>;

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  // Skips white space; the next character, or '\0' at the end.
  char peek();
  bool at_end() { return peek() == '\0' && pos_ >= text_.size(); }
  // Consumes `c` (after white space) or fails.
  Status expect(char c);
  // Consumes `c` when it comes next.
  bool accept(char c);
  Status read_string(std::string& out);
  Status read_uint(std::uint64_t& out);
  // Any JSON value, checked and dropped; `depth` is the current nesting.
  Status skip_value(int depth);

  // Calls `member(key)` for each member of the object that comes next; the
  // callback reads the value.
  template <class Member>
  Status read_object(Member&& member) {
    if (auto s = expect('{'); !s) return s;
    if (accept('}')) return {};
    do {
      std::string key;
      if (auto s = read_string(key); !s) return s;
      if (auto s = expect(':'); !s) return s;
      if (auto s = member(key); !s) return s;
    } while (accept(','));
    return expect('}');
  }

  // Calls `item()` for each element of the array that comes next.
  template <class Item>
  Status read_array(Item&& item) {
    if (auto s = expect('['); !s) return s;
    if (accept(']')) return {};
    do {
      if (auto s = item(); !s) return s;
    } while (accept(','));
    return expect(']');
  }

  std::unexpected<std::string> fail(std::string_view what) const;

 private:
  Status read_escape(std::string& out);
  void append_utf8(std::string& out, std::uint32_t cp);
  Status read_hex4(std::uint32_t& out);

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace vesk::manifest_json
