// transport_for_net.cc - which transport serves which net, and whether that is the simulated
// bus.
#include "transport_for_net.h"

#include "driver_config.h"
#include "driver_state.h"
#include "ntcan/sim_bus.h"
#include "refused_transport.h"
#include "sim/sim_transport.h"
#include "socketcan/socketcan_transport.h"
#include "socketcand/socketcand_transport.h"

namespace ntcan_driver {

Transport& transport_for_net(int net) {
  const NetConfig* cfg = driver_config().find(net);
  if (!cfg) return sim_transport();
  switch (cfg->kind) {
    case NetConfig::Kind::kSocketcand:
      return socketcand_transport(*cfg);
    case NetConfig::Kind::kSocketcan:
      return socketcan_transport(*cfg);
    case NetConfig::Kind::kRefused:
      return refused_transport();
    case NetConfig::Kind::kSim:
      break;
  }
  return sim_transport();
}

}  // namespace ntcan_driver

namespace ntcan_sim {

bool simulated(int net) {
  return ntcan_driver::valid_net(net) &&
         &ntcan_driver::transport_for_net(net) == &ntcan_driver::sim_transport();
}

}  // namespace ntcan_sim
