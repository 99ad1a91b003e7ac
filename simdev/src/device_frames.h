// device_frames.h - the simulated CiA 301 device's frames: the protocol component's bytes and
// frames as the CMSG the device hands to its bus.
#ifndef SIMDEV_DEVICE_FRAMES_H
#define SIMDEV_DEVICE_FRAMES_H

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "canopen/frame.h"
#include "canopen/sdo.h"
#include "ntcan.h"

namespace simdev {
namespace canopen {

// The devices' clock counts ns (the host's now_ns); CiA 301 times are in ms.
constexpr std::int64_t kNsPerMs = 1000000;

inline CMSG to_cmsg(const korvel::canopen::Frame& f) {
  CMSG m{};
  m.id = f.cob_id;
  m.len = static_cast<std::uint8_t>(f.len | (f.remote ? NTCAN_RTR : 0));
  std::copy(f.data.begin(), f.data.end(), m.data);
  return m;
}

inline CMSG data_frame(int id, std::initializer_list<std::uint8_t> bytes) {
  CMSG m{};
  m.id = id;
  m.len = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), m.data);
  return m;
}

// An SDO frame: always eight bytes.
inline CMSG sdo_frame(int id, const korvel::canopen::SdoData& bytes) {
  CMSG m{};
  m.id = id;
  m.len = 8;
  std::copy(bytes.begin(), bytes.end(), m.data);
  return m;
}

}  // namespace canopen
}  // namespace simdev

#endif  // SIMDEV_DEVICE_FRAMES_H
