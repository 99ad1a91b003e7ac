// transport_for_net.h - which transport serves a net.
#ifndef NTCAN_TRANSPORT_FOR_NET_H
#define NTCAN_TRANSPORT_FOR_NET_H

#include "transport.h"

namespace ntcan_driver {

// The transport that serves net (0..255): the one its entry in the driver configuration
// names, the simulated in-process bus for nets without one.
Transport& transport_for_net(int net);

}  // namespace ntcan_driver

#endif  // NTCAN_TRANSPORT_FOR_NET_H
