// pdo_fuzz - libFuzzer target for the PDO decoder: a mapping and the types that read it, both
// arbitrary, then a PDO of any length. Input: byte 0 the number of entries (0-69), five bytes
// per entry (the mapping entry as UNSIGNED32 little-endian, then a type byte: bits 0-1 the
// kind, bit 2 set: the entry's length, else bits 3-7 the length), the rest the PDO.
// Checked: a layout is made exactly when check_mapping finds no problem, its slots fill the PDO
// in order; a short PDO unpacks nothing; unpacking and packing back give the PDO's bits and
// zeros beyond; integers and reals read as numbers convert back to the same bits.
// Built by clang with -DKORVEL_FUZZ=ON; e.g. build/tests/canopen/pdo_fuzz -runs=1000000
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "canopen/data_type.h"
#include "canopen/pdo.h"

namespace co = korvel::canopen;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr std::uint64_t kUntouched = 0x5A5A5A5A5A5A5A5Au;

void check_value(const co::ValueType& t, std::uint64_t raw) {
  using Kind = co::ValueType::Kind;
  const std::int64_t i = co::to_int64(t, raw);
  const double d = co::to_double(t, raw);
  std::uint64_t back = 0;
  switch (t.kind) {
    case Kind::kReal:
      if (std::isnan(d)) {
        check(!co::from_double(t, d, back) && back == 0);
      } else {
        check(co::from_double(t, d, back) && back == raw);
      }
      break;
    case Kind::kSigned:
    case Kind::kBoolean:
      check(co::from_int64(t, i) == raw);
      check(co::from_double(t, d, back));
      if (t.bits <= 53) check(back == raw);  // exact in a double
      break;
    case Kind::kUnsigned:
      check(d == static_cast<double>(raw));
      if (t.bits < 64) check(co::from_int64(t, i) == raw);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t n = data[0] % 70;
  std::size_t at = 1;
  std::vector<co::MapEntry> entries;
  std::vector<co::ValueType> types;
  for (std::size_t k = 0; k < n && at + 5 <= size; ++k, at += 5) {
    const std::uint32_t v = static_cast<std::uint32_t>(data[at]) |
                            static_cast<std::uint32_t>(data[at + 1]) << 8 |
                            static_cast<std::uint32_t>(data[at + 2]) << 16 |
                            static_cast<std::uint32_t>(data[at + 3]) << 24;
    const co::MapEntry e = co::decode_map_entry(v);
    check(co::encode_map_entry(e) == v);
    entries.push_back(e);
    const std::uint8_t b = data[at + 4];
    types.push_back({static_cast<co::ValueType::Kind>(b & 3),
                     (b & 4) != 0 ? e.bits : static_cast<unsigned>(b >> 3)});
  }
  // The PDO in a buffer of its own length: a read beyond it is caught.
  const std::vector<std::uint8_t> pdo(data + at, data + size);

  co::PdoLayout layout;
  const co::MappingProblem problem = co::PdoLayout::make(entries, types, layout);
  check(problem == co::check_mapping(entries));
  if (problem != co::MappingProblem::kNone) return 0;

  unsigned offset = 0;
  for (const co::PdoLayout::Slot& s : layout.slots()) {
    check(s.offset == offset && s.type.bits == s.entry.bits);
    offset += s.entry.bits;
  }
  check(offset == layout.bits() && layout.bits() <= co::kMaxPdoBits && layout.bytes() <= 8);

  std::vector<std::uint64_t> raw(layout.slots().size(), kUntouched);
  const bool ok = layout.unpack(pdo.data(), pdo.size(), raw.data());
  check(ok == (pdo.size() >= layout.bytes()));
  if (!ok) {
    for (std::uint64_t r : raw) check(r == kUntouched);
    return 0;
  }
  for (std::size_t k = 0; k < raw.size(); ++k) {
    const unsigned bits = layout.slots()[k].entry.bits;
    check(bits == 64 || raw[k] >> bits == 0);
    check_value(layout.slots()[k].type, raw[k]);
  }

  std::uint8_t out[8];
  check(layout.pack(raw.data(), out) == layout.bytes());
  for (unsigned bit = 0; bit < 64; ++bit) {
    const int got = (out[bit / 8] >> (bit % 8)) & 1;
    const int want = bit < layout.bits() ? (pdo[bit / 8] >> (bit % 8)) & 1 : 0;
    check(got == want);
  }
  return 0;
}
