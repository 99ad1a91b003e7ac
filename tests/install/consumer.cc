// A server built against the installed library: one node on our driver's simulated bus, with
// a simulated CANopen device behind it. It starts the device, reads its manufacturer name by
// SDO and sees it answer node guarding. Exit status 0 when all of that worked.
//   consumer WORK-FOLDER
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "ntcan/sim_bus.h"
#include "simdev/canopen_device.h"

namespace {

// A property's value as a client reads it.
std::string value_of(EqFct& loc, const std::string& name) {
  D_fct* prop = loc.find_property(name);
  if (!prop) return "(no property " + name + ")";
  EqAdr adr(loc.get_location_name() + "/" + name);
  EqData out;
  if (prop->get(&adr, nullptr, &out, &loc) != 0) return "(error)";
  return out.get_string();
}

int write_int(EqFct& loc, const std::string& name, int value) {
  D_fct* prop = loc.find_property(name);
  if (!prop) return -1;
  EqAdr adr(loc.get_location_name() + "/" + name);
  EqData in;
  EqData out;
  in.set(value);
  return prop->set(&adr, &in, &out, &loc);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer WORK-FOLDER\n");
    return 2;
  }
  const std::string conf = std::string(argv[1]) + "/pumps.conf";
  std::ofstream(conf) << "PUMP1: \t1  5  0  0\n";
  setenv("KORVEL_GATEWAY_FILE", "/dev/null", 1);  // no network gateway to reset

  auto device = std::make_shared<simdev::canopen::Device>(5);
  device->set_identity("Installed Pump Works", "HW-1", "SW-2");
  ntcan_sim::attach(0, device);

  EqFct loc("PUMPS", conf);
  auto pump = std::make_unique<D_can>("PUMP1 cooling pump", &loc);
  if (loc.load_config() != 0) return 1;
  namespace co = korvel::canopen;
  if (pump->init(co::error_control_id(5)) != 0 || pump->AddIdent(co::sdo_response_id(5)) != 0)
    return 1;
  if (write_int(loc, "PUMP1.START", 1) != 0) return 1;
  pump->get_manufacture();

  // One node-guarding round: request, poll, and let the node look at the answer.
  pump->rtr();
  can_looping();
  CMSG batch[100];
  int n = 0;
  if (pump->can_array(batch, &n) == 0) {
    auto* alive = dynamic_cast<D_Alive*>(loc.find_property("PUMP1.ALIVE"));
    if (alive) alive->check_alive(5, batch, &n);
  }

  const std::string manufacturer = value_of(loc, "PUMP1.MANU");
  const std::string condition = value_of(loc, "PUMP1.CONDITION");
  std::printf("PUMP1.MANU = %s\nPUMP1.CONDITION = %s\n", manufacturer.c_str(), condition.c_str());
  pump.reset();
  return manufacturer == "Installed Pump Works" && condition == "Operational" ? 0 : 1;
}
