// socketcand_transport.h - nets served through socketcand.
#ifndef NTCAN_SOCKETCAND_TRANSPORT_H
#define NTCAN_SOCKETCAND_TRANSPORT_H

#include "driver_config.h"
#include "transport.h"

namespace ntcan_driver {

// The transport of a net configured for socketcand; one per configuration entry, kept for the
// life of the process.
Transport& socketcand_transport(const NetConfig& cfg);

}  // namespace ntcan_driver

#endif
