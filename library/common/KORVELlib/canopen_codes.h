// canopen_codes.h - the one home of the library's numbers: CANopen identifiers and command
// specifiers (CiA 301), the size of a node's receive buffer, and the library's own result
// codes. Internal to the library's source files.
#ifndef KORVEL_CANOPEN_CODES_H
#define KORVEL_CANOPEN_CODES_H

#include <cstdint>

#include "ntcan.h"

namespace korvel {

// --- CAN identifiers (predefined connection set). A base plus the node-ID (1..127) gives the
// identifier of one device; the NMT identifier addresses every device at once.
constexpr int kNmtId = 0x000;
constexpr int kEmergencyBase = 0x080;
constexpr int kSdoReplyBase = 0x580;      // device -> client (server SDO transmit)
constexpr int kSdoRequestBase = 0x600;    // client -> device (server SDO receive)
constexpr int kErrorControlBase = 0x700;  // node guarding / heartbeat / boot-up

// --- NMT command specifiers (byte 0 of an NMT frame; byte 1 is the node-ID, 0 for all).
constexpr unsigned char kNmtStart = 0x01;
constexpr unsigned char kNmtStop = 0x02;
constexpr unsigned char kNmtReset = 0x81;

// --- NMT states as a device reports them in its error-control byte (bits 0..6).
constexpr int kStateOperational = 5;
// Alive value a node shows until its device's first state byte arrives (low bits 15:
// "Preoperational").
constexpr int kAliveUnknown = 15;

// --- SDO command specifiers and flags of byte 0. Client requests:
constexpr unsigned char kSdoInitiateDownload = 0x20;
constexpr unsigned char kSdoInitiateUpload = 0x40;
constexpr unsigned char kSdoUploadSegment = 0x60;  // plus kSdoToggle on every second request
constexpr unsigned char kSdoToggle = 0x10;
constexpr unsigned char kSdoAbort = 0x80;  // either direction
// Server replies, compared under their masks:
constexpr unsigned char kSdoReplyMask = 0xE0;
constexpr unsigned char kSdoInitiateUploadReply = 0x40;
constexpr unsigned char kSdoUploadSegmentReply = 0x00;
constexpr unsigned char kSdoInitiateDownloadReply = 0x60;
constexpr unsigned char kSdoDownloadSegmentReply = 0x20;
constexpr unsigned char kSdoExpedited = 0x02;      // "e" bit of an initiate
constexpr unsigned char kSdoSizeIndicated = 0x01;  // "s" bit of an initiate
constexpr unsigned char kSdoLastSegment = 0x01;    // "c" bit of a segment
// Abort codes.
constexpr std::uint32_t kSdoAbortToggle = 0x05030000;
constexpr std::uint32_t kSdoAbortTimeout = 0x05040000;
constexpr std::uint32_t kSdoAbortOutOfMemory = 0x05040005;
constexpr std::uint32_t kSdoAbortGeneral = 0x08000000;

// --- Objects of the device's identity (object dictionary indexes, subindex 0).
constexpr int kManufacturerDeviceName = 0x1008;
constexpr int kManufacturerHardwareVersion = 0x1009;
constexpr int kManufacturerSoftwareVersion = 0x100A;

// --- A node's receive buffer: records taken from the driver in one fill.
constexpr int kRxCapacity = 100;

// --- The library's own result codes, beside the driver statuses handed back unchanged.
constexpr int kOk = 0;
// Line number outside 1..20, no receive buffer, SDO time-out, abort or toggle error.
constexpr int kFailed = -1;
// No usable line: the node has no line, the line handle is not above 0, or the node's
// handle is negative. Equal to the driver's status for a bad handle (77).
constexpr int kNoUsableLine = NTCAN_INVALID_HANDLE;
static_assert(kNoUsableLine == 77, "no usable line is reported as 77");
// can_poll saw no reply in time.
constexpr int kNoReply = 32;
// A frame decoder found what it looked for.
constexpr int kFound = 100;
// Internal to the SDO steps: this step finished the transfer (never returned to callers).
constexpr int kComplete = 0x12345678;

}  // namespace korvel

#endif  // KORVEL_CANOPEN_CODES_H
