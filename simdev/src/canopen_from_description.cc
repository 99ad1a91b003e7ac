// canopen_from_description.cc - a simulated device's object dictionary and power-on PDOs from a
// device description file.
#include "simdev/canopen_from_description.h"

#include <cstdio>
#include <string>

#include "canopen/cob_id.h"
#include "canopen/endian.h"
#include "canopen/objects.h"
#include "canopen/sdo_abort.h"

namespace simdev {
namespace canopen {

namespace co = korvel::canopen;

namespace {

// The device keeps its PDO communication and mapping objects itself, with the CiA 301 rules
// for changing them; the file's PDOs reach them through set_pdo.
bool pdo_object(std::uint16_t index) {
  return index >= co::object::kRpdoCommunicationFirst && index <= co::object::kTpdoMappingLast;
}

Access access_of(co::Access a) {
  switch (a) {
    case co::Access::kRo:
    case co::Access::kConst:
      return Access::kReadOnly;
    case co::Access::kWo:
      return Access::kWriteOnly;
    case co::Access::kRw:
    case co::Access::kRwr:
    case co::Access::kRww:
      break;
  }
  return Access::kReadWrite;
}

// "0x6000/1 SPEED"
std::string object_name(const co::ObjectEntry& e) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%04X/%u", static_cast<unsigned>(e.index),
                static_cast<unsigned>(e.subindex));
  return std::string(number) + " " + e.key;
}

}  // namespace

std::vector<co::Problem> configure(Device& device, const co::DeviceDescription& file) {
  std::vector<co::Problem> problems;
  auto problem = [&](unsigned line, const std::string& text) {
    problems.push_back(co::Problem{file.file(), line, text, false});
  };
  const std::uint8_t node_id = device.node_id();

  // The objects first: the PDOs' mappings are checked against them.
  for (const co::ObjectEntry& e : file.objects()) {
    if (e.is_parent() || pdo_object(e.index)) continue;
    if (!co::known_data_type(e.data_type)) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(e.data_type));
      problem(e.line, object_name(e) + ": DataType " + code + " is no basic type, object left out");
      continue;
    }
    const auto type = static_cast<co::DataType>(e.data_type);
    const Access access = access_of(e.access);
    const co::FileValue& v = e.value();
    const unsigned bits = co::bits_of(type);
    if (bits == 0) {  // strings and domains: the text as written, as bytes
      device.set_text(e.index, e.subindex, v.text, access);
      continue;
    }
    std::uint64_t raw = 0;
    if (v.given() && !co::value_bits(v, type, node_id, raw)) {
      problem(v.line != 0 ? v.line : e.line, object_name(e) + ": '" + v.text + "' is no " +
                                                 co::data_type_name(e.data_type) + ", 0 taken");
      raw = 0;
    }
    co::ValueType value_type;
    if (e.pdo_mapping && co::value_type_of(type, value_type)) {
      device.set_value(e.index, e.subindex, type, raw, access);
    } else {
      std::vector<std::uint8_t> bytes((bits + 7) / 8);
      co::put_le(bytes.data(), bytes.size(), raw);
      device.set_bytes(e.index, e.subindex, bytes, access);
    }
  }

  for (const co::PdoSetting& s : file.pdo_settings(node_id)) {
    co::PdoCommunication comm = s.communication;
    if (comm.id() == 0) {  // no COB-ID in the file: the PDO's default identifier
      const int n = static_cast<int>(s.number);
      comm.cob_id_entry |= static_cast<std::uint32_t>(s.direction == co::PdoDirection::kTransmit
                                                          ? co::tpdo_id(n, node_id)
                                                          : co::rpdo_id(n, node_id));
    }
    const std::uint32_t code =
        device.set_pdo(s.direction, static_cast<int>(s.number), comm, s.entries);
    if (code != 0)
      problem(s.line,
              co::pdo_name(s.direction, s.number) + " not taken: " + co::sdo_abort_text(code));
  }
  return problems;
}

}  // namespace canopen
}  // namespace simdev
