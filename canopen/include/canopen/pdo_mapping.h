// canopen/pdo_mapping.h - reading a device's PDO from what SDO uploads of its communication and
// mapping records returned: which object to upload next, and the checked description that
// results, with one text per problem. No I/O: the caller runs the uploads.
#ifndef KORVEL_CANOPEN_PDO_MAPPING_H
#define KORVEL_CANOPEN_PDO_MAPPING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "canopen/pdo.h"

namespace korvel {
namespace canopen {

// Seen from the device: it takes its receive PDOs and sends its transmit PDOs.
enum class PdoDirection : std::uint8_t { kReceive, kTransmit };

constexpr std::uint16_t kRpdoCommunicationBase = 0x1400;
constexpr std::uint16_t kRpdoMappingBase = 0x1600;
constexpr std::uint16_t kTpdoCommunicationBase = 0x1800;
constexpr std::uint16_t kTpdoMappingBase = 0x1A00;

// One PDO of a device as read: usable when the PDO is valid and carries at least one object.
struct PdoDescription {
  PdoDirection direction = PdoDirection::kTransmit;
  unsigned number = 1;  // 1 to 4
  PdoCommunication communication;
  PdoLayout layout;
  bool usable = false;
};

// "TPDO2", "RPDO1".
std::string pdo_name(PdoDirection direction, unsigned number);
// "0x1A00 sub 2": how log texts name an object of a PDO's records.
std::string object_place(std::uint16_t index, std::uint8_t subindex);

// Walks the uploads of one PDO in this order: COB-ID (comm. sub 1), transmission type (sub 2),
// event timer (sub 5, transmit PDOs only), number of mapped objects (mapping sub 0), then each
// entry (mapping sub 1..n). A PDO whose COB-ID has the invalid bit ends after the COB-ID.
class PdoMappingReader {
 public:
  struct Request {
    std::uint16_t index = 0;
    std::uint8_t subindex = 0;
  };

  // number: 1 to 4 (others are taken as 1).
  PdoMappingReader(PdoDirection direction, unsigned number);

  // The object to upload next; false once the reading is over.
  bool next(Request& r) const;
  // What the upload of the object next() named gave: len bytes (data may be null when len is 0).
  void take(const std::uint8_t* data, std::size_t len);
  // The upload of that object ended with abort code `code` (from the device or the client).
  void take_abort(std::uint32_t code);

  bool done() const { return step_ == Step::kDone; }
  // The result, complete once done(): usable only when no problem kept it from being.
  const PdoDescription& description() const { return desc_; }
  // One log text per problem met, e.g. "TPDO1 0x1A00 sub 2: an entry of length 0".
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  enum class Step : std::uint8_t { kCobId, kType, kEventTimer, kCount, kEntry, kDone };
  void problem(const std::string& text);
  std::string where() const;
  bool sized(std::size_t len, std::size_t want);
  void finish();

  PdoDescription desc_;
  Step step_ = Step::kCobId;
  std::uint8_t count_ = 0;  // entries announced
  std::uint8_t entry_ = 0;  // entry read next (1-based)
  bool failed_ = false;     // a problem keeps the PDO from being usable
  std::vector<MapEntry> entries_;
  std::vector<std::string> problems_;
};

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_PDO_MAPPING_H
