// sim_bus.cc - the controls of the simulated buses (ntcan/sim_bus.h).
#include "ntcan/sim_bus.h"

#include <stdexcept>
#include <string>

#include "canbus/can_frame.h"
#include "canbus/frame_text.h"
#include "driver_state.h"
#include "sim/sim_transport.h"

namespace ntcan_sim {
namespace {

using ntcan_driver::sim_transport;

int checked(int net) {
  if (!ntcan_driver::valid_net(net)) throw std::invalid_argument("no net " + std::to_string(net));
  return net;
}

}  // namespace

void inject(int net, const CMSG& m) {
  if (!canbus::valid_frame(m)) throw std::invalid_argument("cannot inject " + canbus::to_string(m));
  if (ntcan_driver::driver_state().hooks.net_down(checked(net))) return;
  sim_transport().inject(net, m);
}

std::vector<CMSG> bus_log(int net) { return sim_transport().log(checked(net)); }

void clear_bus_log() { sim_transport().clear_log(); }

void attach(int net, std::shared_ptr<simdev::Device> device) {
  if (!device) throw std::invalid_argument("attach: no device");
  sim_transport().attach(checked(net), std::move(device));
}

void detach(int net, const std::shared_ptr<simdev::Device>& device) {
  sim_transport().detach(checked(net), device);
}

}  // namespace ntcan_sim
