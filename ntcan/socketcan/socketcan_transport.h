// socketcan_transport.h - nets served through socketcan.
#ifndef NTCAN_SOCKETCAN_TRANSPORT_H
#define NTCAN_SOCKETCAN_TRANSPORT_H

#include "driver_config.h"
#include "transport.h"

namespace ntcan_driver {

// The transport of a net configured for socketcan; one per configuration entry, kept for the
// life of the process.
Transport& socketcan_transport(const NetConfig& cfg);

}  // namespace ntcan_driver

#endif
