// refused_transport.h - the transport of a net that the driver configuration refuses (a
// malformed line, or an unreadable file): canOpen fails with kRefusedStatus and the log says
// which file and line are to blame. Such a net never falls back to a simulated bus.
#ifndef NTCAN_REFUSED_TRANSPORT_H
#define NTCAN_REFUSED_TRANSPORT_H

#include "transport.h"

namespace ntcan_driver {

Transport& refused_transport();

}  // namespace ntcan_driver

#endif  // NTCAN_REFUSED_TRANSPORT_H
