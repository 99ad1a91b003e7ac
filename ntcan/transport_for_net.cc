// transport_for_net.cc - which transport serves which net.
#include "transport_for_net.h"

#include "driver_config.h"
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
