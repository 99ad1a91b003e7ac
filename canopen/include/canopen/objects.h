// canopen/objects.h - object dictionary indexes of the communication profile (CiA 301) that
// masters and devices commonly use.
#ifndef KORVEL_CANOPEN_OBJECTS_H
#define KORVEL_CANOPEN_OBJECTS_H

#include <cstdint>

namespace korvel {
namespace canopen {
namespace object {

constexpr std::uint16_t kDeviceType = 0x1000;                   // UNSIGNED32
constexpr std::uint16_t kErrorRegister = 0x1001;                // UNSIGNED8
constexpr std::uint16_t kSyncCobId = 0x1005;                    // UNSIGNED32
constexpr std::uint16_t kCommunicationCyclePeriod = 0x1006;     // UNSIGNED32, µs
constexpr std::uint16_t kManufacturerDeviceName = 0x1008;       // VISIBLE_STRING
constexpr std::uint16_t kManufacturerHardwareVersion = 0x1009;  // VISIBLE_STRING
constexpr std::uint16_t kManufacturerSoftwareVersion = 0x100A;  // VISIBLE_STRING
constexpr std::uint16_t kConsumerHeartbeatTime = 0x1016;        // UNSIGNED32 per producer
constexpr std::uint16_t kProducerHeartbeatTime = 0x1017;        // UNSIGNED16, ms; 0 off
constexpr std::uint16_t kIdentity = 0x1018;                     // RECORD, subindexes below
constexpr std::uint16_t kSyncCounterOverflow = 0x1019;          // UNSIGNED8

// Subindexes of the identity object.
constexpr std::uint8_t kIdentityVendorId = 1;
constexpr std::uint8_t kIdentityProductCode = 2;
constexpr std::uint8_t kIdentityRevision = 3;
constexpr std::uint8_t kIdentitySerialNumber = 4;

// PDO parameters, one object per PDO ("receive" and "transmit" as seen from the device):
// the first object of each range belongs to PDO 1, up to 512 PDOs.
constexpr std::uint16_t kRpdoCommunicationFirst = 0x1400;
constexpr std::uint16_t kRpdoCommunicationLast = 0x15FF;
constexpr std::uint16_t kRpdoMappingFirst = 0x1600;
constexpr std::uint16_t kRpdoMappingLast = 0x17FF;
constexpr std::uint16_t kTpdoCommunicationFirst = 0x1800;
constexpr std::uint16_t kTpdoCommunicationLast = 0x19FF;
constexpr std::uint16_t kTpdoMappingFirst = 0x1A00;
constexpr std::uint16_t kTpdoMappingLast = 0x1BFF;
constexpr int kMaxPdos = 512;

// The parameter objects of PDO pdo (1 to 512).
constexpr std::uint16_t rpdo_communication(int pdo) {
  return static_cast<std::uint16_t>(kRpdoCommunicationFirst + pdo - 1);
}
constexpr std::uint16_t rpdo_mapping(int pdo) {
  return static_cast<std::uint16_t>(kRpdoMappingFirst + pdo - 1);
}
constexpr std::uint16_t tpdo_communication(int pdo) {
  return static_cast<std::uint16_t>(kTpdoCommunicationFirst + pdo - 1);
}
constexpr std::uint16_t tpdo_mapping(int pdo) {
  return static_cast<std::uint16_t>(kTpdoMappingFirst + pdo - 1);
}

}  // namespace object
}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_OBJECTS_H
