// canopen/device_description.h - the electronic data sheet (EDS) a device maker ships and the
// device configuration file (DCF) made from it (CiA 306): every object of the device with its
// name, type, access, value and whether it may be mapped, the device's identity and
// commissioning, and the PDOs the file sets. No I/O beyond load(), which reads one file.
//
// The text is INI-like: "[Section]" lines, "Key=Value" lines, comments from ';' to the end of a
// line. Section and key names are compared without regard to case. One section per object
// ("[1018]", index in hex) and per subobject ("[1018sub1]", subindex in hex); an ARRAY with
// "CompactSubObj=n" has no subobject sections: its subobjects 1..n share its type and take their
// names and values from "[<index>Name]" and "[<index>Value]". Numbers are decimal, hexadecimal
// with "0x" or octal with a leading 0; "$NODEID+0x180" (or "0x180+$NODEID") adds the node-ID.
// A DCF's "ParameterValue" stands over the "DefaultValue" of the same object.
//
// A file with problems still yields what could be read, and one Problem per fault, each with
// the file and line; a caller that needs a sound file uses it only when ok() (warnings allowed).
#ifndef KORVEL_CANOPEN_DEVICE_DESCRIPTION_H
#define KORVEL_CANOPEN_DEVICE_DESCRIPTION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "canopen/data_type.h"
#include "canopen/pdo.h"
#include "canopen/pdo_mapping.h"

namespace korvel {
namespace canopen {

// ObjectType of an object section.
enum class ObjectKind : std::uint8_t {
  kNull = 0x0,
  kDomain = 0x2,
  kDefType = 0x5,
  kDefStruct = 0x6,
  kVar = 0x7,
  kArray = 0x8,
  kRecord = 0x9,
};
const char* object_kind_name(ObjectKind k);  // "VAR", "ARRAY", ...

// AccessType: ro, wo, rw, rwr (read-write, mapped into a transmit PDO), rww (read-write,
// mapped into a receive PDO), const.
enum class Access : std::uint8_t { kRo, kWo, kRw, kRwr, kRww, kConst };
const char* access_name(Access a);  // "ro", "wo", "rw", "rwr", "rww", "const"
bool readable(Access a);            // all but wo
bool writable(Access a);            // wo, rw, rwr, rww

// One value as a file writes it (DefaultValue, ParameterValue, LowLimit, HighLimit).
struct FileValue {
  enum class Kind : std::uint8_t { kNone, kInteger, kReal, kText };
  Kind kind = Kind::kNone;
  std::string text;           // as written, blanks around it taken off
  std::uint64_t integer = 0;  // kInteger: the number, two's complement when negative
  bool negative = false;      // kInteger below 0
  bool plus_node_id = false;  // kInteger: "$NODEID" is added to it
  double real = 0;            // kReal: a number with a fraction or an exponent
  unsigned line = 0;          // where it stands; 0 when not given
  bool given() const { return kind != Kind::kNone; }
};

// The bits of v as an object of type `type` carries them on the bus, right-aligned, for the
// device with node-ID node_id ("$NODEID" added): integers of a REAL type are taken as numbers,
// not as bit patterns. False when v is no number, or out of the range of the type (a BOOLEAN is
// 0 or 1).
bool value_bits(const FileValue& v, DataType type, std::uint8_t node_id, std::uint64_t& raw);

// One object (subindex 0 of a VAR) or subobject.
struct ObjectEntry {
  std::uint16_t index = 0;
  std::uint8_t subindex = 0;
  std::string name;  // ParameterName as written (any bytes but control characters)
  // The name an operator types: the ParameterName in capitals, every run of characters other
  // than letters and digits one '_' between them, none at either end ("Motor speed (rpm)" ->
  // "MOTOR_SPEED_RPM"; bytes outside ASCII count as such characters; "OBJECT_<index>" when
  // nothing is left). A subobject whose own key another entry of the file has too is
  // "<parent key>_<own key>"; should that still be taken, "<key>_<index in 4 hex
  // digits>SUB<subindex>". Unique within a file.
  std::string key;
  ObjectKind kind = ObjectKind::kVar;
  std::uint16_t data_type = 0;  // the DataType code; known_data_type() may be false
  Access access = Access::kRo;
  bool pdo_mapping = false;
  FileValue default_value;
  FileValue parameter_value;  // DCF only
  FileValue low_limit;
  FileValue high_limit;
  std::uint8_t sub_number = 0;  // ARRAY/RECORD: SubNumber, or CompactSubObj
  unsigned line = 0;            // the line of its section (for a compact subobject: the object's)

  // An object with subobjects: the entry that names the whole ARRAY or RECORD (its
  // subindex-0 entry, "Highest sub-index supported", is an entry of its own).
  bool is_parent() const { return kind == ObjectKind::kArray || kind == ObjectKind::kRecord; }
  // What is written into the device, or what it holds from power-on: the ParameterValue when
  // the file gives one, else the DefaultValue.
  const FileValue& value() const {
    return parameter_value.given() ? parameter_value : default_value;
  }
};

// One PDO whose communication or mapping object the file describes.
struct PdoSetting {
  PdoDirection direction = PdoDirection::kTransmit;
  unsigned number = 1;             // 1 to 512
  PdoCommunication communication;  // value() of subs 1, 2, 3, 5, 6 where given, with node_id
  std::vector<MapEntry> entries;   // mapping subs 1..sub0's value()
  // True when a ParameterValue set any of it (a DCF's configuration, to be written into the
  // device); false when it shows only the device's defaults.
  bool configured = false;
  unsigned line = 0;  // the line of the communication object's section (else the mapping's)
};

struct Problem {
  std::string file;
  unsigned line = 0;     // 0: the file as a whole (it could not be read)
  std::string text;      // "mapping of TPDO1 is 72 bits long, more than 64"
  bool warning = false;  // worth telling, but the file can be used
};
// "pump.eds:12: <text>" ("pump.eds: <text>" for line 0), "pump.eds:12: warning: <text>".
std::string to_string(const Problem& p);

// [DeviceInfo].
struct DeviceInfo {
  std::string vendor_name;
  std::uint32_t vendor_number = 0;
  std::string product_name;
  std::uint32_t product_number = 0;
  std::uint32_t revision_number = 0;
  std::vector<unsigned> baud_rates_kbit;  // each BaudRate_<n>=1, ascending
  unsigned nr_of_rxpdo = 0;
  unsigned nr_of_txpdo = 0;
};

// [DeviceComissioning] of a DCF.
struct Commissioning {
  bool given = false;
  std::uint8_t node_id = 0;  // 0: not given
  std::string node_name;
  unsigned baudrate_kbit = 0;  // 0: not given
  unsigned net_number = 0;
  std::string network_name;
};

class DeviceDescription {
 public:
  // Parses a file's text; `file` names it in problems. Takes time in proportion to the text.
  static DeviceDescription parse(std::string_view text, const std::string& file);
  // Reads and parses the file at path; one problem of line 0 when it cannot be read.
  static DeviceDescription load(const std::string& path);

  // No problem but warnings: the file may configure a device.
  bool ok() const;
  // Problems and warnings, in the order of their lines.
  const std::vector<Problem>& problems() const { return problems_; }
  const std::string& file() const { return file_; }

  const DeviceInfo& device_info() const { return device_info_; }
  const Commissioning& commissioning() const { return commissioning_; }
  // True when the file carries a configuration (a ParameterValue or [DeviceComissioning]).
  bool is_dcf() const { return dcf_; }

  // Every object and subobject, ordered by index and subindex.
  const std::vector<ObjectEntry>& objects() const { return objects_; }
  const ObjectEntry* find(std::uint16_t index, std::uint8_t subindex) const;
  // By key, without regard to case ("motor_speed" finds "MOTOR_SPEED"); null when none.
  const ObjectEntry* find(std::string_view key) const;

  // The PDOs the file describes, receive PDOs first, each by number, with "$NODEID" resolved
  // for node_id (the DCF's own NodeID when the caller has none). Entries and lengths are as
  // the file gives them; the checks below reported what is wrong with them.
  std::vector<PdoSetting> pdo_settings(std::uint8_t node_id) const;

 private:
  std::string file_;
  std::vector<Problem> problems_;
  DeviceInfo device_info_;
  Commissioning commissioning_;
  bool dcf_ = false;
  std::vector<ObjectEntry> objects_;
  std::unordered_map<std::uint32_t, std::size_t> by_number_;  // index << 8 | subindex
  std::unordered_map<std::string, std::size_t> by_key_;       // key in capitals
};

// What parse() checks, each reported with its line:
//  - the syntax: a line that is no section, key=value, comment or blank line; a section or key
//    given twice (the first holds); a number that is none, or out of the range of its key or
//    type;
//  - the objects: a listed object without a section, a DataType that is not a basic type for
//    a VAR, an AccessType that is none of the six; warnings only: a section that is neither a
//    known section nor an object, an object section no list names;
//  - the PDOs: a mapping of more than 64 bits or more than 64 entries; an entry naming an
//    object the file does not have, or one whose PDOMapping is not 1; an entry whose length
//    is not the size of the object's type; a receive PDO mapping an object that is not
//    writable, a transmit PDO one that is not readable; a dummy entry (index 1 to 7) that
//    [DummyUsage] does not allow (without that section every dummy entry is allowed).

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_DEVICE_DESCRIPTION_H
