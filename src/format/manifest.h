// The manifest of a named snapshot: one "metadata" region, under a logical
// id that the named writers never hand out, holding a JSON document that
// gives every other region its name, element type and shape. Decoding it is
// the only JSON this system reads, so it is done here, once, with bounds on
// everything a crafted file could make large (its size, its nesting) and
// with every entry checked against the region table before any caller
// allocates or copies by it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "format/region.h"

namespace vesk {

// The manifest's own key in the region table.
inline constexpr RegionKey MANIFEST_KEY{RegionKind::Metadata, 0xFFFFFFFFu};
// Version 1 has no annotations; version 2 carries an "annotations" object
// (string to string). Writers use 1 when there are none, so files without
// annotations stay readable by older readers.
inline constexpr std::uint32_t MANIFEST_VERSION_PLAIN = 1;
inline constexpr std::uint32_t MANIFEST_VERSION_ANNOTATED = 2;

struct ManifestEntry {
  std::string name;
  RegionKind kind = RegionKind::Weights;
  std::uint32_t logical_id = 0;
  std::string dtype;
  std::vector<std::uint64_t> shape;
  std::uint64_t nbytes = 0;
};

struct Manifest {
  std::uint32_t version = MANIFEST_VERSION_PLAIN;
  std::vector<ManifestEntry> entries;
  // Present exactly when version is 2, in the document's order.
  std::optional<std::vector<std::pair<std::string, std::string>>> annotations;
};

struct ManifestError {
  // Not JSON, not this schema, or nested beyond any real manifest.
  struct Malformed {
    std::string detail;
  };
  // Larger than a manifest of the table's size can be.
  struct TooLarge {
    std::uint64_t size;
    std::uint64_t limit;
  };
  // Well formed, but it does not describe the table it sits in.
  struct TableMismatch {
    std::string detail;
  };
  std::variant<Malformed, TooLarge, TableMismatch> v;

  std::string message() const;
};

// The most bytes a manifest describing `table_entries` regions may take: a
// fixed allowance for the document and its annotations plus a generous one
// per entry (name, dtype, shape). Writers refuse to write more.
std::uint64_t manifest_size_limit(std::uint64_t table_entries);

// Bytes per element of a dtype name ("float32", "bfloat16", "float8_e4m3fn",
// or an array-interface type string such as "<f4"); nullopt when unknown.
std::optional<std::uint64_t> dtype_itemsize(std::string_view dtype);

// The document the writers store: compact JSON, every byte outside printable
// ASCII escaped (as Python's json.dumps writes it), version 2 exactly when
// there are annotations. The names must be valid UTF-8.
std::string encode_manifest(const Manifest& manifest);

// Parses the document; checks the schema, nothing about the table.
std::expected<Manifest, ManifestError> decode_manifest(std::span<const std::uint8_t> bytes);

// Every entry against the table: no entry at the manifest's own key, no key
// or name twice, each key in the table with exactly the entry's byte size,
// shape x itemsize equal to that size, and every region of the table named.
std::expected<void, ManifestError> check_manifest_against_table(const Manifest& manifest, const RegionTable& table);

}  // namespace vesk
