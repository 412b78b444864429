#include "format/manifest.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <iterator>

#include "format/manifest_json.h"

namespace vesk {

namespace {

using manifest_json::Cursor;
using manifest_json::Status;

constexpr std::string_view kFormatName = "vesk-manifest";
// The document itself and its annotations.
constexpr std::uint64_t kFixedAllowance = std::uint64_t{1} << 20;
// One entry: its name, dtype and shape, with JSON's escapes.
constexpr std::uint64_t kPerEntryAllowance = 4096;

struct DtypeSize {
  std::string_view name;
  std::uint64_t itemsize;
};

// The names PyTorch and NumPy give their element types (as safetensors
// users know them); array-interface type strings are read from their digits.
constexpr DtypeSize kDtypes[] = {
    {"bool", 1},           {"int8", 1},           {"uint8", 1},          {"int16", 2},
    {"uint16", 2},         {"int32", 4},          {"uint32", 4},         {"int64", 8},
    {"uint64", 8},         {"float16", 2},        {"bfloat16", 2},       {"float32", 4},
    {"float64", 8},        {"complex32", 4},      {"complex64", 8},      {"complex128", 16},
    {"float8_e4m3fn", 1},  {"float8_e5m2", 1},    {"float8_e4m3fnuz", 1}, {"float8_e5m2fnuz", 1},
    {"float8_e8m0fnu", 1},
};

std::optional<RegionKind> kind_from_name(std::string_view name) {
  if (name == "weights") return RegionKind::Weights;
  if (name == "kv_live_block") return RegionKind::KvLiveBlock;
  if (name == "metadata") return RegionKind::Metadata;
  return std::nullopt;
}

std::string describe(const ManifestEntry& e) {
  std::string kind = e.kind == RegionKind::Weights ? "weights" : e.kind == RegionKind::KvLiveBlock ? "kv_live_block" : "metadata";
  return kind + " \"" + e.name + "\" (logical id " + std::to_string(e.logical_id) + ")";
}

Status read_u32(Cursor& in, std::uint32_t& out) {
  std::uint64_t wide = 0;
  if (auto s = in.read_uint(wide); !s) return s;
  if (wide > 0xFFFFFFFFu) return in.fail("logical id beyond 32 bits");
  out = static_cast<std::uint32_t>(wide);
  return {};
}

Status read_entry(Cursor& in, ManifestEntry& e) {
  unsigned seen = 0;
  auto status = in.read_object([&](const std::string& key) -> Status {
    const unsigned bit = key == "name" ? 1 : key == "dtype" ? 2 : key == "logical_id" ? 4 : key == "nbytes" ? 8
                       : key == "kind" ? 16 : key == "shape" ? 32 : 0;
    seen |= bit;
    if (bit == 1) return in.read_string(e.name);
    if (bit == 2) return in.read_string(e.dtype);
    if (bit == 4) return read_u32(in, e.logical_id);
    if (bit == 8) return in.read_uint(e.nbytes);
    if (bit == 16) {
      std::string text;
      if (auto s = in.read_string(text); !s) return s;
      auto kind = kind_from_name(text);
      if (!kind) return in.fail("unknown region kind \"" + text + "\"");
      e.kind = *kind;
      return {};
    }
    if (bit == 32) {
      e.shape.clear();
      return in.read_array([&]() -> Status {
        if (e.shape.size() >= 64) return in.fail("shape of more than 64 dimensions");
        return in.read_uint(e.shape.emplace_back());
      });
    }
    return in.skip_value(2);
  });
  if (!status) return status;
  if (seen != 63) return in.fail("an entry lacks one of name, kind, logical_id, dtype, shape, nbytes");
  return {};
}

Status read_annotations(Cursor& in, std::vector<std::pair<std::string, std::string>>& out) {
  return in.read_object([&](const std::string& key) -> Status {
    std::string value;
    if (in.peek() != '"') return in.fail("annotation values must be strings");
    if (auto s = in.read_string(value); !s) return s;
    out.emplace_back(key, std::move(value));
    return {};
  });
}

Status read_document(Cursor& in, Manifest& m) {
  bool format_ok = false, has_version = false, has_regions = false;
  auto status = in.read_object([&](const std::string& key) -> Status {
    if (key == "format") {
      std::string text;
      if (auto s = in.read_string(text); !s) return s;
      format_ok = text == kFormatName;
      return {};
    }
    if (key == "version") {
      has_version = true;
      return read_u32(in, m.version);
    }
    if (key == "regions") {
      has_regions = true;
      return in.read_array([&] { return read_entry(in, m.entries.emplace_back()); });
    }
    if (key == "annotations") {
      m.annotations.emplace();
      return read_annotations(in, *m.annotations);
    }
    return in.skip_value(1);
  });
  if (!status) return status;
  if (!in.at_end()) return in.fail("text after the document");
  if (!format_ok) return std::unexpected(std::string("not a vesk manifest"));
  if (!has_version || (m.version != MANIFEST_VERSION_PLAIN && m.version != MANIFEST_VERSION_ANNOTATED))
    return std::unexpected("manifest version " + std::to_string(m.version) + " is not supported (1 or 2)");
  if (!has_regions) return std::unexpected(std::string("no \"regions\" list"));
  if (m.annotations.has_value() != (m.version == MANIFEST_VERSION_ANNOTATED))
    return std::unexpected(std::string("annotations must be present exactly in a version 2 manifest"));
  return {};
}

std::optional<std::uint64_t> shape_bytes(const ManifestEntry& e, std::uint64_t itemsize) {
  std::uint64_t total = itemsize;
  for (std::uint64_t extent : e.shape) {
    if (extent != 0 && total > std::numeric_limits<std::uint64_t>::max() / extent) return std::nullopt;
    total *= extent;
  }
  return total;
}

std::uint64_t packed(RegionKey key) { return (std::uint64_t{static_cast<std::uint32_t>(key.kind)} << 32) | key.logical_id; }

std::unexpected<ManifestError> mismatch(std::string detail) {
  return std::unexpected(ManifestError{ManifestError::TableMismatch{std::move(detail)}});
}

// JSON string text of UTF-8 `s`: printable ASCII kept, everything else
// escaped, code points above U+FFFF as surrogate pairs.
void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto u_escape = [&](std::uint32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
  };
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      default: break;
    }
    const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      u_escape(0xD800 + (cp >> 10));
      u_escape(0xDC00 + (cp & 0x3FF));
    } else {
      u_escape(cp);
    }
  }
  out += '"';
}

std::string_view kind_text(RegionKind kind) {
  return kind == RegionKind::Weights ? "weights" : kind == RegionKind::KvLiveBlock ? "kv_live_block" : "metadata";
}

}  // namespace

std::string encode_manifest(const Manifest& manifest) {
  std::string out = R"({"format":"vesk-manifest","version":)";
  out += std::to_string(manifest.annotations ? MANIFEST_VERSION_ANNOTATED : MANIFEST_VERSION_PLAIN);
  out += R"(,"regions":[)";
  out.reserve(out.size() + manifest.entries.size() * 128);
  for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
    const ManifestEntry& e = manifest.entries[i];
    out += i == 0 ? R"({"name":)" : R"(,{"name":)";
    append_json_string(out, e.name);
    out += R"(,"kind":")";
    out += kind_text(e.kind);
    // Appended piece by piece: g++ 12 at -O3 misreads `"literal" + string`
    // as an overlapping copy (-Wrestrict).
    out += R"(","logical_id":)";
    out += std::to_string(e.logical_id);
    out += R"(,"dtype":)";
    append_json_string(out, e.dtype);
    out += R"(,"shape":[)";
    for (std::size_t k = 0; k < e.shape.size(); ++k) {
      if (k) out += ',';
      out += std::to_string(e.shape[k]);
    }
    out += R"(],"nbytes":)";
    out += std::to_string(e.nbytes);
    out += '}';
  }
  out += "]";
  if (manifest.annotations) {
    out += R"(,"annotations":{)";
    bool first = true;
    for (const auto& [key, value] : *manifest.annotations) {
      if (!first) out += ",";
      first = false;
      append_json_string(out, key);
      out += ":";
      append_json_string(out, value);
    }
    out += "}";
  }
  out += "}";
  return out;
}

std::string ManifestError::message() const {
  struct Visitor {
    std::string operator()(const Malformed& e) const { return "malformed manifest: " + e.detail; }
    std::string operator()(const TooLarge& e) const {
      return "the manifest region is " + std::to_string(e.size) + " bytes, more than a manifest of this table can need (" +
             std::to_string(e.limit) + ")";
    }
    std::string operator()(const TableMismatch& e) const {
      return "the manifest does not match the region table: " + e.detail;
    }
  };
  return std::visit(Visitor{}, v);
}

std::uint64_t manifest_size_limit(std::uint64_t table_entries) {
  return kFixedAllowance + kPerEntryAllowance * std::min<std::uint64_t>(table_entries, std::uint64_t{1} << 40);
}

std::optional<std::uint64_t> dtype_itemsize(std::string_view dtype) {
  for (const auto& d : kDtypes) {
    if (d.name == dtype) return d.itemsize;
  }
  // "<f4", "|u1", ">i8": endianness, a type code, the size in bytes.
  if (dtype.size() >= 3 && std::string_view("<>|=").find(dtype[0]) != std::string_view::npos) {
    std::uint64_t size = 0;
    for (char c : dtype.substr(2)) {
      if (c < '0' || c > '9' || size > 1u << 20) return std::nullopt;
      size = size * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (size != 0) return size;
  }
  return std::nullopt;
}

std::expected<Manifest, ManifestError> decode_manifest(std::span<const std::uint8_t> bytes) {
  Manifest m;
  Cursor in(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (auto s = read_document(in, m); !s) return std::unexpected(ManifestError{ManifestError::Malformed{s.error()}});
  return m;
}

std::expected<void, ManifestError> check_manifest_against_table(const Manifest& manifest, const RegionTable& table) {
  // Sorted arrays rather than hash sets: a hundred thousand entries are
  // checked in a few milliseconds, and a repeat sits next to its twin.
  // The table's size for each key; a later duplicate wins, as in a restore.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sizes;
  sizes.reserve(table.size());
  for (const RegionEntry& r : table) sizes.emplace_back(packed({r.kind, r.logical_id}), r.size);
  std::stable_sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  auto size_of = [&](std::uint64_t key) -> std::optional<std::uint64_t> {
    auto it = std::upper_bound(sizes.begin(), sizes.end(), key, [](std::uint64_t k, const auto& e) { return k < e.first; });
    if (it == sizes.begin() || std::prev(it)->first != key) return std::nullopt;
    return std::prev(it)->second;
  };

  std::vector<std::pair<std::uint64_t, std::size_t>> keys;
  std::vector<std::pair<std::string_view, std::size_t>> names;  // sorted by (kind, name) below
  keys.reserve(manifest.entries.size());
  names.reserve(manifest.entries.size());
  std::optional<std::uint64_t> itemsize;
  for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
    const ManifestEntry& e = manifest.entries[i];
    const RegionKey key{e.kind, e.logical_id};
    if (key == MANIFEST_KEY) return mismatch(describe(e) + " claims the manifest's own region");
    keys.emplace_back(packed(key), i);
    names.emplace_back(e.name, i);
    const auto table_size = size_of(packed(key));
    if (!table_size) return mismatch(describe(e) + " is not in the table");
    if (*table_size != e.nbytes) {
      return mismatch(describe(e) + " is " + std::to_string(e.nbytes) + " bytes, the table holds " +
                      std::to_string(*table_size));
    }
    // Most entries share a dtype with the one before.
    if (i == 0 || e.dtype != manifest.entries[i - 1].dtype) itemsize = dtype_itemsize(e.dtype);
    // An unknown dtype still may not claim more elements than bytes.
    const auto claimed = shape_bytes(e, itemsize.value_or(1));
    if (!claimed || (itemsize ? *claimed != e.nbytes : *claimed > e.nbytes)) {
      return mismatch(describe(e) + ": its shape and dtype " + e.dtype + " do not make " +
                      std::to_string(e.nbytes) + " bytes");
    }
  }
  // Writers emit (kind, sorted name) order with ids counted up: usually
  // nothing to sort.
  if (!std::is_sorted(keys.begin(), keys.end())) std::sort(keys.begin(), keys.end());
  for (std::size_t k = 1; k < keys.size(); ++k) {
    if (keys[k].first == keys[k - 1].first)
      return mismatch(describe(manifest.entries[keys[k].second]) + ": the region is named twice");
  }
  const auto& entries = manifest.entries;
  const auto by_kind_and_name = [&](const auto& a, const auto& b) {
    return std::pair(entries[a.second].kind, a.first) < std::pair(entries[b.second].kind, b.first);
  };
  if (!std::is_sorted(names.begin(), names.end(), by_kind_and_name))
    std::sort(names.begin(), names.end(), by_kind_and_name);
  for (std::size_t k = 1; k < names.size(); ++k) {
    if (names[k].first == names[k - 1].first && entries[names[k].second].kind == entries[names[k - 1].second].kind)
      return mismatch(describe(entries[names[k].second]) + ": the name appears twice");
  }
  for (const RegionEntry& r : table) {
    const std::uint64_t key = packed({r.kind, r.logical_id});
    if (RegionKey{r.kind, r.logical_id} == MANIFEST_KEY ||
        std::binary_search(keys.begin(), keys.end(), std::pair(key, std::size_t{0}),
                           [](const auto& a, const auto& b) { return a.first < b.first; })) {
      continue;
    }
    return mismatch("the table holds region " + std::string(region_kind_name(r.kind)) + " " +
                    std::to_string(r.logical_id) + " that the manifest does not name");
  }
  return {};
}

}  // namespace vesk
