// sim_bus.h - our NTCAN driver's simulated buses: every net (0..255) that the driver
// configuration does not give another transport is an in-process CAN bus. Tests, tools and
// demos put simulated devices (simdev/device.h) on them and inject traffic.
//
// A frame sent on a handle reaches every other handle of the same net that enabled its
// identifier, and every device attached to that net; frames the devices send reach the
// handles the same way. The plug-in library never includes this header.
#ifndef NTCAN_SIM_BUS_H
#define NTCAN_SIM_BUS_H

#include <memory>
#include <vector>

#include "ntcan.h"
#include "ntcan/nets.h"
#include "simdev/device.h"

namespace ntcan_sim {

using ntcan_driver::kNets;

// True when the net is served by the in-process simulated bus (not listed in the driver
// configuration, or listed as sim): only there do attached devices and injected frames
// reach the handles. False for every other transport and for numbers that are no net.
bool simulated(int net);

// A frame from another node on the bus: delivered to handles and devices of the net.
void inject(int net, const CMSG& m);
// Every frame that crossed the net (sent by handles or devices, or injected), in order, while
// records are kept (ntcan_test::keep_records).
std::vector<CMSG> bus_log(int net);
void clear_bus_log();

void attach(int net, std::shared_ptr<simdev::Device> device);
void detach(int net, const std::shared_ptr<simdev::Device>& device);

}  // namespace ntcan_sim

#endif  // NTCAN_SIM_BUS_H
