// canopen_protocol.h - CiA 301 identifiers, command specifiers and frame helpers the simulated
// device's files share.
#ifndef CANOPEN_PROTOCOL_H
#define CANOPEN_PROTOCOL_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "ntcan.h"
#include "simdev/canopen_device.h"

namespace simdev {
namespace canopen {
namespace protocol {

// Predefined connection set.
constexpr std::int32_t kNmtId = 0x000;
constexpr std::int32_t kEmcyBase = 0x080;
constexpr std::int32_t kSdoReplyBase = 0x580;
constexpr std::int32_t kSdoRequestBase = 0x600;
constexpr std::int32_t kErrorControlBase = 0x700;

// SDO client command specifiers (bits 5-7 of byte 0).
constexpr int kCcsDownloadSegment = 0;
constexpr int kCcsInitiateDownload = 1;
constexpr int kCcsInitiateUpload = 2;
constexpr int kCcsUploadSegment = 3;
constexpr int kCcsAbort = 4;
// Bits of byte 0 below the command specifier.
constexpr std::uint8_t kToggleBit = 0x10;
constexpr std::uint8_t kExpeditedBit = 0x02;      // initiate: data in bytes 4..7
constexpr std::uint8_t kSizeIndicatedBit = 0x01;  // initiate: size given
constexpr std::uint8_t kLastSegmentBit = 0x01;    // segment: no more to come

// SDO server replies, byte 0.
constexpr std::uint8_t kExpeditedUpload = 0x43;  // | (4 - size) << 2
constexpr std::uint8_t kSegmentedUpload = 0x41;  // size in bytes 4..7
constexpr std::uint8_t kDownloadInitiated = 0x60;
constexpr std::uint8_t kDownloadSegmentDone = 0x20;  // | toggle
constexpr std::uint8_t kAbortTransfer = 0x80;
constexpr std::size_t kSegmentBytes = 7;
constexpr std::size_t kExpeditedBytes = 4;
// A segmented download longer than this is refused: the device has no room for it.
constexpr std::size_t kMaxDownload = 65536;

constexpr std::uint16_t kDeviceType = 0x1000;
constexpr std::uint16_t kErrorRegister = 0x1001;
constexpr std::uint16_t kDeviceName = 0x1008;
constexpr std::uint16_t kHardwareVersion = 0x1009;
constexpr std::uint16_t kSoftwareVersion = 0x100A;
constexpr std::uint16_t kHeartbeatProducerTime = 0x1017;
// Reset communication restores these indices.
constexpr std::uint16_t kCommunicationFirst = 0x1000;
constexpr std::uint16_t kCommunicationLast = 0x1FFF;

constexpr std::int64_t kNsPerMs = 1000000;

inline CMSG make_frame(std::int32_t id, std::initializer_list<std::uint8_t> bytes) {
  CMSG m{};
  m.id = id;
  m.len = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), m.data);
  return m;
}

inline CMSG sdo_frame(std::int32_t id, std::uint8_t cs, std::uint16_t index, std::uint8_t sub) {
  return make_frame(id, {cs, static_cast<std::uint8_t>(index & 0xFF),
                         static_cast<std::uint8_t>(index >> 8), sub, 0, 0, 0, 0});
}

inline void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint32_t get_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) |
         static_cast<std::uint32_t>(p[3]) << 24;
}

constexpr std::uint32_t code_of(SdoAbort a) { return static_cast<std::uint32_t>(a); }

}  // namespace protocol
}  // namespace canopen
}  // namespace simdev

#endif  // CANOPEN_PROTOCOL_H
