// Arbitrary bytes as a snapshot file: the prelude parsers must refuse
// anything malformed with an error whose message can be rendered, never
// read outside the input, and agree with each other. What they accept must
// fit inside the input and survive an encode/decode round trip.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "format/snapshot.h"
#include "io/direct_file.h"
#include "pipeline/prelude_reader.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_prelude: %s\n", what);
  std::abort();
}

// The same bytes as a file, read the way the file restore reads them.
std::expected<vesk::FilePrelude, vesk::SnapshotError> parse_as_file(std::span<const std::uint8_t> bytes) {
  const int fd = ::memfd_create("vesk-fuzz", 0);
  if (fd < 0) fail("memfd_create failed");
  vesk::DirectFile file{vesk::UniqueFd(fd), false};
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) fail("cannot write the memory file");
    done += static_cast<std::size_t>(n);
  }
  return vesk::read_snapshot_prelude(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);

  const auto header = vesk::SnapshotHeader::from_bytes(bytes);
  if (!header) (void)header.error().message();

  const auto snap = vesk::Snapshot::from_prelude_bytes(bytes);
  const auto from_file = parse_as_file(bytes);
  if (snap.has_value() != from_file.has_value()) fail("the in-memory and the file parser disagree");

  if (!snap) {
    if (snap.error().message().empty()) fail("empty error message");
    (void)from_file.error().message();
    return 0;
  }
  if (!header) fail("a prelude parsed without a valid header");
  if (snap->header.num_regions != snap->table.size()) fail("table size differs from num_regions");
  if (snap->prelude_size() > size) fail("accepted a prelude longer than the input");
  if (!(from_file->snapshot == *snap)) fail("the file parser read another prelude");

  const auto encoded = snap->to_prelude_bytes();
  if (encoded.size() != snap->prelude_size()) fail("encoding has the wrong length");
  const auto again = vesk::Snapshot::from_prelude_bytes(encoded);
  if (!again || !(*again == *snap)) fail("encode/decode round trip changed the prelude");
  return 0;
}
