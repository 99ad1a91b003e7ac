// The demo's process data: the simulated devices' measured values and set-points, and the
// server's properties of them.
#include "demo_process.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "canopen/data_type.h"
#include "canopen/pdo.h"
#include "console.h"
#include "operator_commands.h"

namespace co = korvel::canopen;

namespace {

constexpr std::uint16_t kSpeed = 0x6000;
constexpr std::uint16_t kTemperature = 0x6001;
constexpr std::uint16_t kHeating = 0x6002;
constexpr std::uint16_t kSetPoint = 0x6200;

// HEAT4's line: SYNC every 500 ms, the counter running 1..8.
constexpr int kSyncPeriodMs = 500;
constexpr int kSyncOverflow = 8;

simdev::canopen::Device* device_named(const std::vector<SimulatedDevice>& devices,
                                      const std::string& base) {
  const SimulatedDevice* d = device_of(base, devices);
  return d ? d->device.get() : nullptr;
}

double number(const simdev::canopen::Device& d, std::uint16_t index, const co::ValueType& t) {
  return co::to_double(t, d.process_value(index, 1));
}

}  // namespace

void step_process(const std::vector<SimulatedDevice>& devices, double t) {
  static const co::ValueType u16{co::ValueType::Kind::kUnsigned, 16};
  static const co::ValueType real{co::ValueType::Kind::kReal, 32};
  static double last = t;
  const double dt = std::max(0.0, t - last);
  last = t;
  if (auto* pump = device_named(devices, "PUMP1")) {
    // The pump's speed follows its set-point at 300 rpm/s; it warms with its speed.
    const double target = number(*pump, kSetPoint, u16);
    double speed = number(*pump, kSpeed, u16);
    const double step = 300 * dt;
    speed = speed < target ? std::min(target, speed + step) : std::max(target, speed - step);
    pump->set_process_number(kSpeed, 1, std::round(speed));
    const double wobble = 0.4 * std::sin(t / 4);
    pump->set_process_number(kTemperature, 1, std::round(10 * (18 + speed / 100 + wobble)) / 10);
  }
  if (auto* heater = device_named(devices, "HEAT4")) {
    // A two-point controller between 60 and 65 deg C, warming 2 deg C/s, cooling 1 deg C/s.
    const double temperature = number(*heater, kTemperature, real);
    bool heating = heater->process_value(kHeating, 1) != 0;
    if (temperature >= 65) heating = false;
    if (temperature <= 60) heating = true;
    const double next = temperature + (heating ? 2.0 : -1.0) * dt;
    heater->set_process_value(kHeating, 1, heating ? 1 : 0);
    heater->set_process_number(kTemperature, 1, std::round(10 * next) / 10);
  }
}

namespace {

struct Named {
  int index;
  const char* name;
  int bits;
  D_can::pd_kind kind;
};

void name_objects(DemoNode& node, std::initializer_list<Named> objects) {
  for (const Named& o : objects) {
    if (node.can->name_object(o.index, 1, o.name, o.bits, o.kind) != korvel::kOk)
      console().write(node.base + ": cannot name object " + o.name + "\n");
  }
}

void receive_tpdos(DemoNode& node) {
  for (int pdo = 1; pdo <= co::kDefaultPdos; ++pdo) {
    const int r = node.can->AddIdent(co::tpdo_id(pdo, node.node_id()));
    if (r != 0) {
      console().write(node.base + ": enabling its TPDOs failed: " +
                      can_error_str(static_cast<unsigned long>(r)) + "\n");
      return;
    }
  }
}

}  // namespace

void start_process_data(DemoNode& node) {
  using K = D_can::pd_kind;
  if (!node.can->isactive()) return;  // a passive view decodes nothing of its own
  // Each node's description file (.DEVICE_FILE) names and types its mapped objects: the
  // library reads the device's mapping on its worker once the node has started (PUMP1's
  // after writing its DCF's PDOs into the device). The node takes its TPDOs.
  if (node.base == "PUMP1" || node.base == "FAN2" || node.base == "HEAT4") receive_tpdos(node);
  if (node.base == "PUMP1") {
    // The server's own set-point, as it starts the pump: by SDO until the mapping is read, so
    // it is typed here already (the file, loaded on the worker, may come later).
    name_objects(node, {{kSetPoint, "SETPOINT", 16, K::unsigned_int}});
    EqData set_point;
    set_point.set(1500);
    std::string error;
    if (node.can->write_object(kSetPoint, 1, set_point, &error) != korvel::kOk)
      console().write(node.base + ": writing the set-point failed: " + error + "\n");
  } else if (node.base == "HEAT4") {
    const int r = node.can->produce_sync(kSyncPeriodMs, kSyncOverflow);
    console().write(node.base + ": line " + std::to_string(node.line()) +
                    (r == korvel::kOk
                         ? " produces SYNC every " + std::to_string(kSyncPeriodMs) +
                               " ms (counter 1.." + std::to_string(kSyncOverflow) + ")\n"
                         : " cannot produce SYNC\n"));
  }
}

std::string process_table(EqFct& loc, const NodeList& nodes) {
  std::ostringstream out;
  for (const auto& n : nodes) {
    std::string row;
    for (const Named& o : {Named{kSpeed, "SPEED", 0, D_can::pd_kind::unsigned_int},
                           Named{kTemperature, "TEMPERATURE", 0, D_can::pd_kind::real},
                           Named{kHeating, "HEATING", 0, D_can::pd_kind::boolean},
                           Named{kSetPoint, "SETPOINT", 0, D_can::pd_kind::unsigned_int}}) {
      D_fct* prop = loc.find_property(n->base + "." + o.name);
      if (!prop) continue;
      EqAdr adr(loc.get_location_name() + "/" + prop->basename());
      EqData value;
      const int rc = prop->get(&adr, nullptr, &value, &loc);
      std::ostringstream v;
      if (value.type() == DATA_DOUBLE) {
        v.setf(std::ios::fixed);
        v.precision(1);
        v << value.get_double();
      } else {
        v << value.get_string();
      }
      row += " " + std::string(o.name) + "=" + v.str();
      if (rc != 0 || value.error() != 0) row += " (stale)";
    }
    if (!row.empty()) out << "  " << n->base << row << '\n';
  }
  const std::string rows = out.str();
  return rows.empty() ? rows : "process data:\n" + rows;
}
