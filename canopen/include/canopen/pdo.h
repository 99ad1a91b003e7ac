// canopen/pdo.h - process data objects (CiA 301): the communication record of a PDO, the
// entries of its mapping, and the layout that packs and unpacks the mapped values.
//
// A PDO's mapping lists objects (index, subindex, length in bits); they fill the PDO in order
// from bit 0 of byte 0, each least significant bit first, 64 bits at most in all. "Receive" and
// "transmit" are as seen from the device: the device sends its transmit PDOs (TPDO 1-4 on
// tpdo_id(n, node), canopen/cob_id.h) and takes its receive PDOs.
#ifndef KORVEL_CANOPEN_PDO_H
#define KORVEL_CANOPEN_PDO_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "canopen/data_type.h"

namespace korvel {
namespace canopen {

// --- The communication record (0x1400+n receive, 0x1800+n transmit).
constexpr std::uint8_t kPdoCobIdSub = 1;
constexpr std::uint8_t kPdoTransmissionTypeSub = 2;
constexpr std::uint8_t kPdoInhibitTimeSub = 3;  // transmit PDOs, units of 100 µs
constexpr std::uint8_t kPdoEventTimerSub = 5;   // ms
constexpr std::uint8_t kPdoSyncStartSub = 6;
// Bits of sub 1, the COB-ID entry.
constexpr std::uint32_t kPdoInvalid = 0x80000000u;     // 1: the PDO is not used
constexpr std::uint32_t kPdoNoRemote = 0x40000000u;    // 1: no remote request allowed
constexpr std::uint32_t kPdoExtendedId = 0x20000000u;  // 1: a 29-bit identifier
constexpr std::uint32_t kPdoIdMask = 0x1FFFFFFFu;

// Transmission types (sub 2).
constexpr std::uint8_t kSyncAcyclic = 0;        // at a SYNC, when the values changed (acyclic)
constexpr std::uint8_t kSyncEveryMax = 240;     // 1..240: at every n-th SYNC
constexpr std::uint8_t kSyncRemoteOnly = 252;   // synchronous, on remote request only
constexpr std::uint8_t kEventRemoteOnly = 253;  // event-driven, on remote request only
constexpr std::uint8_t kEventManufacturer = 254;
constexpr std::uint8_t kEventProfile = 255;
constexpr bool synchronous(std::uint8_t type) { return type <= kSyncEveryMax; }
constexpr bool event_driven(std::uint8_t type) { return type >= kEventManufacturer; }

struct PdoCommunication {
  std::uint32_t cob_id_entry = kPdoInvalid;
  std::uint8_t transmission_type = kEventProfile;
  std::uint16_t inhibit_time = 0;  // 100 µs
  std::uint16_t event_timer = 0;   // ms, 0: none
  std::uint8_t sync_start = 0;

  bool valid() const { return (cob_id_entry & kPdoInvalid) == 0; }
  bool remote_allowed() const { return (cob_id_entry & kPdoNoRemote) == 0; }
  bool extended() const { return (cob_id_entry & kPdoExtendedId) != 0; }
  std::uint32_t id() const { return cob_id_entry & kPdoIdMask; }
};

// --- The mapping record (0x1600+n receive, 0x1A00+n transmit): sub 0 the number of mapped
// objects, subs 1..n one entry each.
constexpr std::size_t kMaxMappedObjects = 64;
constexpr unsigned kMaxPdoBits = 64;
// Dummy entries (index 0x0001-0x0007, the basic data types) reserve bits without an object.
constexpr std::uint16_t kDummyLast = 0x0007;

struct MapEntry {
  std::uint16_t index = 0;
  std::uint8_t subindex = 0;
  std::uint8_t bits = 0;
  bool dummy() const { return index >= 1 && index <= kDummyLast; }
};
bool operator==(const MapEntry& a, const MapEntry& b);

// UNSIGNED32: index in bits 16-31, subindex in 8-15, length in bits in 0-7.
constexpr MapEntry decode_map_entry(std::uint32_t v) {
  return MapEntry{static_cast<std::uint16_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
                  static_cast<std::uint8_t>(v)};
}
constexpr std::uint32_t encode_map_entry(const MapEntry& e) {
  return static_cast<std::uint32_t>(e.index) << 16 | static_cast<std::uint32_t>(e.subindex) << 8 |
         e.bits;
}

// What keeps a list of entries from being a mapping a PDO can carry.
enum class MappingProblem : std::uint8_t {
  kNone,
  kTooManyEntries,  // more than 64 entries
  kTooLong,         // more than 64 bits in all
  kZeroLength,      // an entry of 0 bits
  kIndexZero,       // an entry naming index 0
};
MappingProblem check_mapping(const std::vector<MapEntry>& entries);
const char* mapping_problem_text(MappingProblem p);  // "more than 64 bits in all", ...

// --- Bits of a PDO: least significant bit first from bit `offset` of byte 0, `bits` of them
// (1 to 64, offset + bits at most 64). get_bits reads only bytes below `len` (missing ones read
// as 0); put_bits changes only the bits it writes, and none beyond bit 63 of the eight bytes.
std::uint64_t get_bits(const std::uint8_t* data, std::size_t len, unsigned offset, unsigned bits);
void put_bits(std::uint8_t* data, unsigned offset, unsigned bits, std::uint64_t value);

// The layout of one PDO: where each mapped object lies and how its bits read.
class PdoLayout {
 public:
  struct Slot {
    MapEntry entry;
    ValueType type;
    unsigned offset = 0;  // first bit
  };

  // Entries with the types that read them (types may be empty: each then reads as
  // default_value_type of its length, as does one whose type has another length, a REAL of
  // neither 32 nor 64 bits or a BOOLEAN of more than one). Returns the
  // problem that keeps them from being a layout (kNone: out is set).
  static MappingProblem make(const std::vector<MapEntry>& entries,
                             const std::vector<ValueType>& types, PdoLayout& out);

  const std::vector<Slot>& slots() const { return slots_; }
  unsigned bits() const { return bits_; }
  // Bytes a PDO of this layout carries: the bits rounded up.
  std::size_t bytes() const { return (bits_ + 7) / 8; }

  // The raw bits of every slot from a received PDO of len bytes into raw (one per slot); false,
  // and nothing written, when the PDO is shorter than the layout. Longer PDOs unpack; the
  // bytes beyond are not looked at.
  bool unpack(const std::uint8_t* data, std::size_t len, std::uint64_t* raw) const;
  // The PDO's bytes from one raw value per slot; returns its length (bytes()). data has room
  // for 8 bytes; bits no slot covers are 0.
  std::size_t pack(const std::uint64_t* raw, std::uint8_t* data) const;

 private:
  std::vector<Slot> slots_;
  unsigned bits_ = 0;
};

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_PDO_H
