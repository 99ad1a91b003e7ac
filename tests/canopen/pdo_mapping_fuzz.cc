// pdo_mapping_fuzz - libFuzzer target for the mapping reader: the input's first byte picks the
// PDO, the rest are the answers to the uploads the reader asks for (one byte: bit 7 an abort
// with the next four bytes as its code, else that many data bytes, 0 to 15). Checked: the reader
// asks for objects of its own records only, ends within the uploads a PDO can need, a usable
// result has a layout that fits a PDO, and unpacking then packing a frame of any length neither
// reads nor writes outside its buffer.
// Built by clang with -DKORVEL_FUZZ=ON; e.g. build/tests/canopen/pdo_mapping_fuzz -runs=1000000
#include <cstddef>
#include <cstdint>
#include <vector>

#include "canopen/pdo_mapping.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

using korvel::canopen::PdoDirection;
using korvel::canopen::PdoMappingReader;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto direction = (data[0] & 0x80) ? PdoDirection::kTransmit : PdoDirection::kReceive;
  const unsigned number = data[0] & 0x07;  // 0 and 5..7 are out of range on purpose
  PdoMappingReader reader(direction, number);
  std::size_t at = 1;
  int uploads = 0;
  PdoMappingReader::Request r;
  while (reader.next(r)) {
    check(++uploads <= 4 + 64);
    check(r.index >= 0x1400 && r.index <= 0x1A03 && (r.index & 0xFF) <= 3);
    if (at >= size) {
      reader.take_abort(0x05040000);  // out of input: as a time-out
      continue;
    }
    const std::uint8_t head = data[at++];
    if (head & 0x80) {
      std::uint32_t code = 0;
      for (int i = 0; i < 4 && at < size; ++i)
        code |= static_cast<std::uint32_t>(data[at++]) << (8 * i);
      reader.take_abort(code);
      continue;
    }
    // Copied into a buffer of exactly the answer's length, so that ASan sees any overread.
    const std::size_t len = head & 0x0F;
    const std::size_t have = at + len <= size ? len : size - at;
    std::vector<std::uint8_t> answer(data + at, data + at + have);
    at += have;
    reader.take(answer.empty() ? nullptr : answer.data(), answer.size());
  }
  check(reader.done());
  const auto& d = reader.description();
  if (!d.usable) return 0;
  check(d.layout.bits() >= 1 && d.layout.bits() <= 64);
  check(!d.layout.slots().empty() && d.layout.slots().size() <= 64);
  // A frame of every length from the rest of the input, in a buffer of that length.
  const std::size_t rest = size - at;
  for (std::size_t len = 0; len <= 8; ++len) {
    std::vector<std::uint8_t> frame(len);
    for (std::size_t i = 0; i < len; ++i) frame[i] = rest ? data[at + i % rest] : 0;
    std::vector<std::uint64_t> raw(d.layout.slots().size(), 0);
    const bool ok = d.layout.unpack(frame.empty() ? nullptr : frame.data(), len, raw.data());
    check(ok == (len >= d.layout.bytes()));
    if (!ok) continue;
    std::uint8_t packed[8];
    check(d.layout.pack(raw.data(), packed) == d.layout.bytes());
  }
  return 0;
}
