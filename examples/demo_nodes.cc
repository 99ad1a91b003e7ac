// The demo server's nodes, their simulated devices and their start-up.
#include "demo_nodes.h"

#include <cstdint>
#include <sstream>

#include "canopen/cob_id.h"
#include "canopen/device_description.h"
#include "canopen/endian.h"
#include "canopen/objects.h"
#include "console.h"
#include "ntcan/sim_bus.h"
#include "sdo_commands.h"
#include "simdev/canopen_from_description.h"

namespace co = korvel::canopen;

const std::vector<NodeEntry>& demo_node_entries() {
  // The manufacturer names in the files are long enough to need segmented SDO uploads, except
  // one that fits into a single (expedited) reply.
  static const std::vector<NodeEntry> entries = {
      {"PUMP1 cooling water pump", "devices/pump.eds"},
      {"FAN2 cabinet fan", "devices/fan.eds"},
      {"VALVE3 bypass valve", "devices/valve.eds"},
      {"HEAT4 line heater", "devices/heater.eds", 500},
      {"PUMP1MON PUMP1 as seen by the monitoring panel", nullptr},
  };
  return entries;
}

NodeList create_nodes(EqFct& loc) {
  NodeList nodes;
  for (const NodeEntry& entry : demo_node_entries()) {
    auto n = std::make_unique<DemoNode>();
    n->entry = &entry;
    n->can = std::make_unique<D_can>(entry.name, &loc);
    n->base = n->can->basename();
    n->alive = dynamic_cast<D_Alive*>(loc.find_property(n->base + ".ALIVE"));
    nodes.push_back(std::move(n));
  }
  return nodes;
}

std::string identity_problems(const NodeList& nodes, const std::string& config_file) {
  std::ostringstream out;
  for (const auto& n : nodes) {
    const IIII* id = n->can->value();
    if (id->i1_data < 1 || id->i1_data > 20) {
      out << "node " << n->base << " has no line in " << config_file << " (expected a line '"
          << n->base << ": <line 1..20> <node-ID> <third> <fourth>')\n";
    } else if (id->i2_data < 1 || id->i2_data > 127) {
      out << "node " << n->base << " has node-ID " << id->i2_data << " in " << config_file
          << " (CANopen node-IDs are 1..127)\n";
    }
  }
  return out.str();
}

namespace {

// A path given relative to the configuration file's folder.
std::string beside(const std::string& config_file, const std::string& path) {
  const std::size_t slash = config_file.rfind('/');
  if (path.empty() || path[0] == '/' || slash == std::string::npos) return path;
  return config_file.substr(0, slash + 1) + path;
}

std::string text_of(const simdev::canopen::Device& d, std::uint16_t index) {
  const std::vector<std::uint8_t> bytes = d.value(index, 0);
  return std::string(bytes.begin(), bytes.end());
}

// The device's objects and PDOs from its file; false when the file cannot be used.
bool describe(simdev::canopen::Device& device, const std::string& base, const std::string& path) {
  const co::DeviceDescription file = co::DeviceDescription::load(path);
  std::vector<co::Problem> problems = file.problems();
  if (file.ok()) {
    const std::vector<co::Problem> refused = simdev::canopen::configure(device, file);
    problems.insert(problems.end(), refused.begin(), refused.end());
  }
  for (const co::Problem& p : problems) console().write(base + ": " + co::to_string(p) + "\n");
  return file.ok();
}

}  // namespace

std::vector<SimulatedDevice> attach_devices(const NodeList& nodes, const std::string& config_file) {
  std::vector<SimulatedDevice> devices;
  for (const auto& n : nodes) {
    if (!n->entry->device_file) continue;
    SimulatedDevice d;
    d.net = n->line() - 1;
    if (!ntcan_sim::simulated(d.net)) {
      console().write(n->base + ": net " + std::to_string(d.net) +
                      " has a transport of the driver configuration: no simulated device, the real "
                      "one answers\n");
      continue;
    }
    d.owner = n.get();
    d.device = std::make_shared<simdev::canopen::Device>(static_cast<std::uint8_t>(n->node_id()));
    const std::string file = beside(config_file, n->entry->device_file);
    if (!describe(*d.device, n->base, file)) {
      console().write(n->base + ": " + file +
                      " cannot be used: the simulated device has no objects of its own\n");
    }
    ntcan_sim::attach(d.net, d.device);
    const simdev::canopen::Device& device = *d.device;
    console().write("simulated device for " + n->base + " on net " + std::to_string(d.net) +
                    ", node-ID " + std::to_string(n->node_id()) + ": manufacturer \"" +
                    text_of(device, co::object::kManufacturerDeviceName) + "\", hardware \"" +
                    text_of(device, co::object::kManufacturerHardwareVersion) + "\", software \"" +
                    text_of(device, co::object::kManufacturerSoftwareVersion) + "\" (from " + file +
                    ")\n");
    devices.push_back(d);
  }
  return devices;
}

const SimulatedDevice* device_of(const std::string& base,
                                 const std::vector<SimulatedDevice>& devices) {
  for (const SimulatedDevice& d : devices) {
    if (d.owner->base == base) return &d;
  }
  return nullptr;
}

int write_node_property(EqFct& loc, const DemoNode& node, const std::string& suffix, int value) {
  const std::string name = node.base + suffix;
  D_fct* prop = loc.find_property(name);
  if (!prop) return ERR_NOT_SUPPORTED;
  EqAdr adr(loc.get_location_name() + "/" + name);
  EqData in;
  EqData out;
  in.set(value);
  const int rc = prop->set(&adr, &in, &out, &loc);
  return rc != 0 ? rc : out.error();
}

bool read_identity(DemoNode& node) {
  // Each call fills its property, with "error" when the upload fails.
  const int manu = node.can->get_manufacture();
  const int hw = node.can->get_hwversion();
  const int sw = node.can->get_swversion();
  return manu == 0 && hw == 0 && sw == 0;
}

void start_heartbeat(DemoNode& node) {
  const int ms = node.entry->heartbeat_ms;
  unsigned char producer_time[2];  // UNSIGNED16, ms
  co::put_le16(producer_time, static_cast<std::uint16_t>(ms));
  D_can::sdo_outcome why;
  const int r = node.can->sdo_write(co::object::kProducerHeartbeatTime, 0, producer_time,
                                    sizeof producer_time, &why);
  if (r != 0) {
    console().write(node.base + ": writing the heartbeat period to 0x1017 failed: " +
                    sdo_failure_text(r, why.abort_code, why.by_device) + "\n");
    return;
  }
  node.can->supervise_alive(kLostAfterPeriods * ms);
  console().write(node.base + ": heartbeat every " + std::to_string(ms) +
                  " ms (0x1017 written by SDO download), lost after " +
                  std::to_string(kLostAfterPeriods * ms) + " ms without one\n");
}

namespace {

// The node's description file when it is a DCF that configures PDOs (the library then starts
// the device once they are written); empty otherwise.
std::string configuring_file(EqFct& loc, const DemoNode& node) {
  const auto* setting =
      dynamic_cast<const D_canfile*>(loc.find_property(node.base + ".DEVICE_FILE"));
  if (!setting || !node.can->isactive()) return std::string();
  const std::string path = setting->path();
  if (path.empty()) return path;
  const co::DeviceDescription file = co::DeviceDescription::load(path);
  if (!file.ok()) return std::string();
  for (const co::PdoSetting& s : file.pdo_settings(static_cast<std::uint8_t>(node.node_id()))) {
    if (s.configured) return setting->value();
  }
  return std::string();
}

}  // namespace

void start_node(EqFct& loc, DemoNode& node) {
  D_can& can = *node.can;
  const int id = node.node_id();
  auto problem = [&](const char* step, int status) {
    console().write(node.base + ": " + step +
                    " failed: " + can_error_str(static_cast<unsigned long>(status)) + "\n");
  };

  // Master of (line, node-ID), or a passive view when another node already is.
  int r = can.init(co::error_control_id(id));
  if (r != 0) problem("init", r);
  r = can.init_emergency();
  if (r != 0) problem("init_emergency", r);
  // The SDO replies of the device, for the identity uploads.
  r = can.AddIdent(co::sdo_response_id(id));
  if (r != 0) problem("enabling the SDO replies", r);

  const std::string configured = configuring_file(loc, node);
  if (!configured.empty()) {
    console().write(node.base + ": the library writes the PDOs of " + configured +
                    " into the device, reads them back and then starts it\n");
  } else {
    r = write_node_property(loc, node, ".START", 1);
    if (r != 0)
      console().write(node.base + ": writing .START failed: " + get_error_string(r) + "\n");
  }

  if (node.entry->heartbeat_ms > 0 && can.isactive()) start_heartbeat(node);

  const bool identity = read_identity(node);
  console().write(node.base + ": line " + std::to_string(node.line()) + ", node-ID " +
                  std::to_string(id) + ", " +
                  (can.isactive() ? "master" : "passive (shares the master's line and buffers)") +
                  (identity ? "" : "; identity strings not readable yet") + "\n");
}
