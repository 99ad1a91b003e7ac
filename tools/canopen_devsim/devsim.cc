// devsim.cc - the device list of korvel_canopen_devsim.
#include "devsim.h"

#include <fstream>
#include <istream>

#include "canopen/objects.h"
#include "simdev/canopen_from_description.h"

namespace devsim {
namespace {

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The node-ID of a device: 1..127, decimal or 0x hex.
bool parse_node_id(const std::string& text, std::uint8_t& out, std::string& error) {
  const std::string id = trim(text);
  std::size_t used = 0;
  long v = -1;
  try {
    v = std::stol(id, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (id.empty() || used != id.size() || v < 1 || v > 127) {
    error = "node-ID \"" + id + "\" is not 1..127";
    return false;
  }
  out = static_cast<std::uint8_t>(v);
  return true;
}

// The text of a string object of the file; empty when it has none.
std::string text_of(const korvel::canopen::DeviceDescription& d, std::uint16_t index) {
  const korvel::canopen::ObjectEntry* e = d.find(index, 0);
  return e ? e->value().text : std::string();
}

}  // namespace

const char* const kUsage =
    "usage: korvel_canopen_devsim [-i IFNAME] [-f FILE] [-e ID:EDS]... [-v] "
    "ID[:NAME[:HW[:SW]]]...\n"
    "  Simulated CANopen devices (NMT, node guarding, SDO upload and download, PDOs, boot-up)\n"
    "  on a SocketCAN interface. -i: the interface (default vcan0); -f: a file with one device\n"
    "  per line; -e, --eds: a device at node-ID ID with the objects and PDOs of a device\n"
    "  description file (EDS or DCF, its ParameterValues as power-on values); -v: print every\n"
    "  frame received and sent. Prints \"ready\" once the devices listen.\n";

bool parse_device(const std::string& text, DeviceSpec& out, std::string& error) {
  const auto parts = split(text, ':');
  if (parts.size() > 4) {
    error = "too many ':' in \"" + text + "\" (ID[:NAME[:HW[:SW]]])";
    return false;
  }
  DeviceSpec d;
  if (!parse_node_id(parts[0], d.node_id, error)) return false;
  d.name = "devsim node " + std::to_string(d.node_id);
  if (parts.size() > 1 && !parts[1].empty()) d.name = parts[1];
  if (parts.size() > 2 && !parts[2].empty()) d.hw = parts[2];
  if (parts.size() > 3 && !parts[3].empty()) d.sw = parts[3];
  out = d;
  return true;
}

bool parse_described_device(const std::string& text, DeviceSpec& out, std::string& error) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon + 1 == text.size()) {
    error = "\"" + text + "\" is not ID:FILE";
    return false;
  }
  DeviceSpec d;
  if (!parse_node_id(text.substr(0, colon), d.node_id, error)) return false;
  auto file = std::make_shared<korvel::canopen::DeviceDescription>(
      korvel::canopen::DeviceDescription::load(text.substr(colon + 1)));
  if (!file->ok()) {
    error = "the device description file has problems:";
    for (const auto& p : file->problems()) {
      if (!p.warning) error += "\n  " + korvel::canopen::to_string(p);
    }
    return false;
  }
  namespace object = korvel::canopen::object;
  d.name = text_of(*file, object::kManufacturerDeviceName);
  d.hw = text_of(*file, object::kManufacturerHardwareVersion);
  d.sw = text_of(*file, object::kManufacturerSoftwareVersion);
  d.description = std::move(file);
  out = std::move(d);
  return true;
}

bool parse_device_file(std::istream& in, const std::string& file_name, std::vector<DeviceSpec>& out,
                       std::string& error) {
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    const std::string text = trim(line.substr(0, line.find('#')));
    if (text.empty()) continue;
    DeviceSpec d;
    if (!parse_device(text, d, error)) {
      error = file_name + ":" + std::to_string(n) + ": " + error;
      return false;
    }
    out.push_back(d);
  }
  return true;
}

std::vector<std::shared_ptr<simdev::canopen::Device>> make_devices(
    const std::vector<DeviceSpec>& specs, std::vector<std::string>* not_taken) {
  std::vector<std::shared_ptr<simdev::canopen::Device>> out;
  for (const DeviceSpec& s : specs) {
    auto d = std::make_shared<simdev::canopen::Device>(s.node_id);
    if (s.description) {
      std::vector<korvel::canopen::Problem> problems = s.description->problems();
      const auto refused = simdev::canopen::configure(*d, *s.description);
      problems.insert(problems.end(), refused.begin(), refused.end());
      for (const auto& p : problems) {
        if (not_taken) not_taken->push_back(korvel::canopen::to_string(p));
      }
    } else {
      d->set_identity(s.name, s.hw, s.sw);
    }
    out.push_back(std::move(d));
  }
  return out;
}

Options parse_options(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        o.error = a + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a == "-i" || a == "--interface") {
      if (!value(o.ifname)) return o;
    } else if (a == "-f" || a == "--file") {
      std::string file;
      if (!value(file)) return o;
      std::ifstream in(file);
      if (!in) {
        o.error = "cannot read " + file;
        return o;
      }
      if (!parse_device_file(in, file, o.devices, o.error)) return o;
    } else if (a == "-e" || a == "--eds") {
      std::string text;
      if (!value(text)) return o;
      DeviceSpec d;
      if (!parse_described_device(text, d, o.error)) {
        o.error = a + " " + text + ": " + o.error;
        return o;
      }
      o.devices.push_back(std::move(d));
    } else if (!a.empty() && a[0] == '-') {
      o.error = "unknown option " + a;
      return o;
    } else {
      DeviceSpec d;
      if (!parse_device(a, d, o.error)) return o;
      o.devices.push_back(d);
    }
  }
  for (std::size_t i = 0; i < o.devices.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (o.devices[i].node_id == o.devices[j].node_id) {
        o.error = "node-ID " + std::to_string(o.devices[i].node_id) + " given twice";
        return o;
      }
    }
  }
  if (o.devices.empty() && !o.help) o.error = "no device given";
  return o;
}

}  // namespace devsim
