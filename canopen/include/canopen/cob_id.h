// canopen/cob_id.h - the CAN identifiers of the predefined connection set (CiA 301): a service's
// base plus the node-ID of the device, or one identifier for all devices (NMT, SYNC).
#ifndef KORVEL_CANOPEN_COB_ID_H
#define KORVEL_CANOPEN_COB_ID_H

namespace korvel {
namespace canopen {

constexpr int kMinNodeId = 1;
constexpr int kMaxNodeId = 127;
constexpr bool valid_node_id(int node_id) { return node_id >= kMinNodeId && node_id <= kMaxNodeId; }

// Broadcast identifiers, master to all devices.
constexpr int kNmtId = 0x000;   // NMT module control
constexpr int kSyncId = 0x080;  // SYNC (default of object 0x1005)

// Bases, plus the node-ID.
constexpr int kEmcyBase = 0x080;          // device -> master, emergency
constexpr int kTpdoBase = 0x180;          // device -> master, transmit PDO 1 (+0x100 per PDO)
constexpr int kRpdoBase = 0x200;          // master -> device, receive PDO 1 (+0x100 per PDO)
constexpr int kSdoResponseBase = 0x580;   // device -> master, SDO server to client
constexpr int kSdoRequestBase = 0x600;    // master -> device, SDO client to server
constexpr int kErrorControlBase = 0x700;  // boot-up, node guarding and its answer, heartbeat
// Default PDOs per direction: 1 to 4.
constexpr int kDefaultPdos = 4;

constexpr int emcy_id(int node_id) { return kEmcyBase + node_id; }
constexpr int sdo_response_id(int node_id) { return kSdoResponseBase + node_id; }
constexpr int sdo_request_id(int node_id) { return kSdoRequestBase + node_id; }
constexpr int error_control_id(int node_id) { return kErrorControlBase + node_id; }
// Default identifier of transmit / receive PDO pdo (1 to 4) of the device.
constexpr int tpdo_id(int pdo, int node_id) { return kTpdoBase + 0x100 * (pdo - 1) + node_id; }
constexpr int rpdo_id(int pdo, int node_id) { return kRpdoBase + 0x100 * (pdo - 1) + node_id; }

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_COB_ID_H
