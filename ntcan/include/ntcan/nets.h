// nets.h - the nets the driver serves: 0..kNets-1, each by one transport.
#ifndef NTCAN_NETS_H
#define NTCAN_NETS_H

namespace ntcan_driver {

constexpr int kNets = 256;

}  // namespace ntcan_driver

#endif  // NTCAN_NETS_H
