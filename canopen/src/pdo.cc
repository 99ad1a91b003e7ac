// pdo.cc - PDO mapping entries and the layout that packs and unpacks mapped values.
#include "canopen/pdo.h"

#include "canopen/endian.h"

namespace korvel {
namespace canopen {

bool operator==(const MapEntry& a, const MapEntry& b) {
  return a.index == b.index && a.subindex == b.subindex && a.bits == b.bits;
}

MappingProblem check_mapping(const std::vector<MapEntry>& entries) {
  if (entries.size() > kMaxMappedObjects) return MappingProblem::kTooManyEntries;
  unsigned total = 0;
  for (const MapEntry& e : entries) {
    if (e.index == 0) return MappingProblem::kIndexZero;
    if (e.bits == 0) return MappingProblem::kZeroLength;
    total += e.bits;
    if (total > kMaxPdoBits) return MappingProblem::kTooLong;
  }
  return MappingProblem::kNone;
}

const char* mapping_problem_text(MappingProblem p) {
  switch (p) {
    case MappingProblem::kNone:
      return "no problem";
    case MappingProblem::kTooManyEntries:
      return "more than 64 mapped objects";
    case MappingProblem::kTooLong:
      return "more than 64 bits in all";
    case MappingProblem::kZeroLength:
      return "an entry of length 0";
    case MappingProblem::kIndexZero:
      return "an entry naming index 0";
  }
  return "unknown problem";
}

std::uint64_t get_bits(const std::uint8_t* data, std::size_t len, unsigned offset, unsigned bits) {
  // The PDO's bytes as one little-endian word (bytes at or past len read as 0), shifted down to
  // the first bit and cut to the value's length: a few instructions whatever the length.
  if (bits == 0 || offset >= kMaxPdoBits) return 0;
  if (bits > kMaxPdoBits - offset) bits = kMaxPdoBits - offset;  // 64 bits of PDO at most
  std::uint64_t word = get_le(data, len);
  word >>= offset;
  return bits == 64 ? word : word & ((std::uint64_t{1} << bits) - 1);
}

void put_bits(std::uint8_t* data, unsigned offset, unsigned bits, std::uint64_t value) {
  // Nothing is written past the eighth byte, whatever the caller asks.
  if (offset >= kMaxPdoBits) return;
  if (bits > kMaxPdoBits - offset) bits = kMaxPdoBits - offset;
  for (unsigned i = 0; i < bits; ++i) {
    const unsigned at = offset + i;
    const auto bit = static_cast<std::uint8_t>(1u << (at % 8));
    if ((value >> i) & 1) {
      data[at / 8] = static_cast<std::uint8_t>(data[at / 8] | bit);
    } else {
      data[at / 8] = static_cast<std::uint8_t>(data[at / 8] & ~bit);
    }
  }
}

namespace {

// A type can read an entry of `bits` bits: the same length, a REAL of 32 or 64 bits and a
// BOOLEAN of one (others have no meaning).
bool fits(const ValueType& t, unsigned bits) {
  if (t.bits != bits) return false;
  if (t.kind == ValueType::Kind::kReal) return bits == 32 || bits == 64;
  return t.kind != ValueType::Kind::kBoolean || bits == 1;
}

}  // namespace

MappingProblem PdoLayout::make(const std::vector<MapEntry>& entries,
                               const std::vector<ValueType>& types, PdoLayout& out) {
  const MappingProblem p = check_mapping(entries);
  if (p != MappingProblem::kNone) return p;
  PdoLayout layout;
  unsigned offset = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Slot s;
    s.entry = entries[i];
    s.type = i < types.size() && fits(types[i], entries[i].bits)
                 ? types[i]
                 : default_value_type(entries[i].bits);
    s.offset = offset;
    offset += entries[i].bits;
    layout.slots_.push_back(s);
  }
  layout.bits_ = offset;
  out = std::move(layout);
  return MappingProblem::kNone;
}

bool PdoLayout::unpack(const std::uint8_t* data, std::size_t len, std::uint64_t* raw) const {
  if (len < bytes()) return false;
  for (std::size_t i = 0; i < slots_.size(); ++i)
    raw[i] = get_bits(data, len, slots_[i].offset, slots_[i].entry.bits);
  return true;
}

std::size_t PdoLayout::pack(const std::uint64_t* raw, std::uint8_t* data) const {
  for (int i = 0; i < 8; ++i) data[i] = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i)
    put_bits(data, slots_[i].offset, slots_[i].entry.bits, raw[i]);
  return bytes();
}

}  // namespace canopen
}  // namespace korvel
