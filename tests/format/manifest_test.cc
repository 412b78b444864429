// The manifest decoder: what it keeps from a document the writers produce,
// and the one error it gives for anything else, bounded however the text
// is crafted.
#include "format/manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk {
namespace {

std::expected<Manifest, ManifestError> decode(const std::string& text) {
  return decode_manifest(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

const std::string kEntry =
    R"({"name":"a\u00e9\ud83d\ude00\"","kind":"weights","logical_id":4294967294,"dtype":"bfloat16",)"
    R"("shape":[2,3],"nbytes":12,"future":{"x":[1,-2.5e3,true,null]}})";

TEST(ManifestDecode, KeepsEntriesAndAnnotationsAndSkipsUnknownMembers) {
  auto m = decode(R"({"format":"vesk-manifest","version":2,"regions":[)" + kEntry +
                  R"(],"annotations":{"k":"v\n"}} )");
  ASSERT_TRUE(m) << m.error().message();
  ASSERT_EQ(m->entries.size(), 1u);
  const ManifestEntry& e = m->entries[0];
  EXPECT_EQ(e.name, "a\xc3\xa9\xf0\x9f\x98\x80\"");
  EXPECT_EQ(e.logical_id, 4294967294u);
  EXPECT_EQ(e.shape, (std::vector<std::uint64_t>{2, 3}));
  ASSERT_TRUE(m->annotations);
  EXPECT_EQ((*m->annotations)[0], (std::pair<std::string, std::string>{"k", "v\n"}));
  // Version 1 has no annotations; a version 2 without them is malformed.
  EXPECT_TRUE(decode(R"({"format":"vesk-manifest","version":1,"regions":[]})"));
  EXPECT_FALSE(decode(R"({"format":"vesk-manifest","version":2,"regions":[]})"));
}

TEST(ManifestDecode, RefusesEverythingElseAsMalformed) {
  const std::string head = R"({"format":"vesk-manifest","version":1,"regions":[)";
  const std::vector<std::string> bad = {
      "",
      "[]",
      head + "]",                                                        // unterminated
      head + "]} x",                                                     // trailing text
      R"({"format":"other","version":1,"regions":[]})",
      head + R"({"name":"a","kind":"weights","logical_id":1,"dtype":"u8","shape":[1]}]})",  // no nbytes
      head + R"({"name":"a","kind":"Weights","logical_id":1,"dtype":"u8","shape":[],"nbytes":1}]})",
      head + R"({"name":"a","kind":"weights","logical_id":4294967296,"dtype":"u8","shape":[],"nbytes":1}]})",
      head + R"({"name":"a","kind":"weights","logical_id":1,"dtype":"u8","shape":[01],"nbytes":1}]})",
      head + R"({"name":"a","kind":"weights","logical_id":1,"dtype":"u8","shape":[1.5],"nbytes":1}]})",
      head + R"({"name":"a","kind":"weights","logical_id":1,"dtype":"u8","shape":[],"nbytes":18446744073709551616}]})",
      head + R"({"name":"\ud800","kind":"weights","logical_id":1,"dtype":"u8","shape":[],"nbytes":1}]})",
      head + "{\"name\":\"\xc3\xa9\"}]}",                              // raw non-ASCII
      head + "]," + std::string(100000, '[') + std::string(100000, ']') + "}",
  };
  for (const std::string& text : bad) {
    auto m = decode(text);
    ASSERT_FALSE(m) << text.substr(0, 120);
    EXPECT_TRUE(std::holds_alternative<ManifestError::Malformed>(m.error().v)) << m.error().message();
    EXPECT_TRUE(m.error().message().starts_with("malformed manifest: ")) << m.error().message();
  }
}

TEST(ManifestEncode, WritesWhatTheReaderReadsBackInPrintableAscii) {
  Manifest m;
  m.entries.push_back(ManifestEntry{"q\"\\\n\x01\xc3\xa9\xf0\x9f\x98\x80", RegionKind::KvLiveBlock, 7, "<f4", {2, 0, 3}, 0});
  m.annotations.emplace();
  m.annotations->emplace_back("k", "");
  const std::string text = encode_manifest(m);
  EXPECT_NE(text.find(R"("version":2)"), std::string::npos);
  for (char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << static_cast<int>(c);
  auto back = decode(text);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(back->entries[0].name, m.entries[0].name);
  EXPECT_EQ(back->entries[0].shape, m.entries[0].shape);
  EXPECT_EQ(back->annotations, m.annotations);
  m.annotations.reset();
  EXPECT_EQ(decode(encode_manifest(m))->version, MANIFEST_VERSION_PLAIN);
}

TEST(ManifestTable, ItemsizesCoverTheServingDtypes) {
  for (const char* one : {"bool", "int8", "uint8", "float8_e4m3fn", "float8_e5m2", "|u1"}) {
    EXPECT_EQ(dtype_itemsize(one), 1u) << one;
  }
  EXPECT_EQ(dtype_itemsize("bfloat16"), 2u);
  EXPECT_EQ(dtype_itemsize("<c16"), 16u);
  EXPECT_EQ(dtype_itemsize("quux"), std::nullopt);
  EXPECT_EQ(dtype_itemsize("<f0"), std::nullopt);
}

}  // namespace
}  // namespace vesk
