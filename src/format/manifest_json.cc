#include "format/manifest_json.h"

#include <limits>

namespace vesk::manifest_json {

std::unexpected<std::string> Cursor::fail(std::string_view what) const {
  return std::unexpected("at byte " + std::to_string(pos_) + ": " + std::string(what));
}

char Cursor::peek() {
  while (pos_ < text_.size() &&
         (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\r' || text_[pos_] == '\t')) {
    ++pos_;
  }
  return pos_ < text_.size() ? text_[pos_] : '\0';
}

Status Cursor::expect(char c) {
  if (peek() != c || pos_ >= text_.size()) return fail(std::string("expected '") + c + "'");
  ++pos_;
  return {};
}

bool Cursor::accept(char c) {
  if (peek() != c || pos_ >= text_.size()) return false;
  ++pos_;
  return true;
}

Status Cursor::read_hex4(std::uint32_t& out) {
  if (text_.size() - pos_ < 4) return fail("short \\u escape");
  out = 0;
  for (int k = 0; k < 4; ++k) {
    const char c = text_[pos_++];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return fail("bad \\u escape");
    out = out * 16 + static_cast<std::uint32_t>(digit);
  }
  return {};
}

void Cursor::append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

Status Cursor::read_escape(std::string& out) {
  if (pos_ >= text_.size()) return fail("unterminated string");
  const char c = text_[pos_++];
  switch (c) {
    case '"': out += '"'; return {};
    case '\\': out += '\\'; return {};
    case '/': out += '/'; return {};
    case 'b': out += '\b'; return {};
    case 'f': out += '\f'; return {};
    case 'n': out += '\n'; return {};
    case 'r': out += '\r'; return {};
    case 't': out += '\t'; return {};
    case 'u': break;
    default: return fail("bad escape");
  }
  std::uint32_t cp = 0;
  if (auto s = read_hex4(cp); !s) return s;
  if (cp >= 0xDC00 && cp < 0xE000) return fail("lone low surrogate");
  if (cp >= 0xD800 && cp < 0xDC00) {
    // A name is text: a high surrogate must be followed by its low half.
    std::uint32_t low = 0;
    if (text_.substr(pos_, 2) != "\\u") return fail("lone high surrogate");
    pos_ += 2;
    if (auto s = read_hex4(low); !s) return s;
    if (low < 0xDC00 || low >= 0xE000) return fail("lone high surrogate");
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, cp);
  return {};
}

Status Cursor::read_string(std::string& out) {
  if (auto s = expect('"'); !s) return s;
  out.clear();
  while (pos_ < text_.size()) {
    // The plain run up to the next quote, escape or odd byte, in one append.
    const std::size_t start = pos_;
    while (pos_ < text_.size()) {
      const auto b = static_cast<unsigned char>(text_[pos_]);
      if (b == '"' || b == '\\' || b < 0x20 || b >= 0x80) break;
      ++pos_;
    }
    out.append(text_.substr(start, pos_ - start));
    if (pos_ >= text_.size()) break;
    const auto c = static_cast<unsigned char>(text_[pos_++]);
    if (c == '"') return {};
    if (c == '\\') {
      if (auto s = read_escape(out); !s) return s;
    } else if (c < 0x20 || c >= 0x80) {
      // The writers escape everything outside printable ASCII.
      return fail("raw control or non-ASCII byte in a string");
    } else {
      out += static_cast<char>(c);
    }
  }
  return fail("unterminated string");
}

Status Cursor::read_uint(std::uint64_t& out) {
  peek();
  const std::size_t start = pos_;
  out = 0;
  while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
    const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
    if (out > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return fail("integer too large");
    out = out * 10 + digit;
    ++pos_;
  }
  if (pos_ == start) return fail("expected a non-negative integer");
  if (text_[start] == '0' && pos_ - start > 1) return fail("integer with a leading zero");
  if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E'))
    return fail("expected an integer, found a fraction");
  return {};
}

Status Cursor::skip_value(int depth) {
  if (depth >= kMaxDepth) return fail("nested too deeply");
  const char c = peek();
  if (c == '{') {
    return read_object([&](const std::string&) { return skip_value(depth + 1); });
  }
  if (c == '[') return read_array([&] { return skip_value(depth + 1); });
  if (c == '"') {
    std::string ignored;
    return read_string(ignored);
  }
  for (std::string_view word : {"true", "false", "null"}) {
    if (text_.substr(pos_, word.size()) == word) {
      pos_ += word.size();
      return {};
    }
  }
  // A number: the JSON grammar, none of it kept.
  const std::size_t start = pos_;
  if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
  while (pos_ < text_.size() && std::string_view("0123456789.eE+-").find(text_[pos_]) != std::string_view::npos) ++pos_;
  if (pos_ == start || text_[pos_ - 1] == '-') return fail("expected a value");
  return {};
}

}  // namespace vesk::manifest_json
