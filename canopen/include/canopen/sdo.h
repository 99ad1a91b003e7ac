// canopen/sdo.h - service data objects (CiA 301), expedited and segmented transfers: the
// command byte, the 8 data bytes of every request of a client and response of a server, and
// one decoder per direction of a received frame's bytes.
//
// Every SDO frame carries 8 bytes. Byte 0 is the command byte: the command specifier in bits
// 5-7 and its flags below. Initiate and abort frames name the object in bytes 1-2 (index,
// little-endian) and 3 (subindex); bytes 4-7 hold expedited data, the size of a segmented
// transfer or the abort code. Segments carry up to 7 data bytes in bytes 1-7. Requests go to
// sdo_request_id(node), responses come on sdo_response_id(node) (canopen/cob_id.h).
#ifndef KORVEL_CANOPEN_SDO_H
#define KORVEL_CANOPEN_SDO_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "canopen/sdo_abort.h"

namespace korvel {
namespace canopen {

// The 8 data bytes of an SDO frame.
using SdoData = std::array<std::uint8_t, 8>;

// --- The command byte.
constexpr std::uint8_t kSdoSpecifierMask = 0xE0;  // the command specifier, bits 5-7
// Client command specifiers (requests).
constexpr std::uint8_t kSdoDownloadSegmentRequest = 0x00;
constexpr std::uint8_t kSdoInitiateDownloadRequest = 0x20;
constexpr std::uint8_t kSdoInitiateUploadRequest = 0x40;
constexpr std::uint8_t kSdoUploadSegmentRequest = 0x60;
// Server command specifiers (responses).
constexpr std::uint8_t kSdoUploadSegmentResponse = 0x00;
constexpr std::uint8_t kSdoDownloadSegmentResponse = 0x20;
constexpr std::uint8_t kSdoInitiateUploadResponse = 0x40;
constexpr std::uint8_t kSdoInitiateDownloadResponse = 0x60;
// Either side.
constexpr std::uint8_t kSdoAbortTransfer = 0x80;
// Flags: of a segment or its response, the toggle bit (0 on the first segment, then
// alternating) and "c", no more segments follow; of an initiate, "e" (the data are in bytes
// 4-7) and "s" (the size is given). Bits 2-3 of an expedited initiate and 1-3 of a segment
// count the bytes that hold no data.
constexpr std::uint8_t kSdoToggle = 0x10;
constexpr std::uint8_t kSdoLastSegment = 0x01;
constexpr std::uint8_t kSdoExpedited = 0x02;
constexpr std::uint8_t kSdoSizeIndicated = 0x01;

constexpr std::size_t kSdoExpeditedMax = 4;  // data bytes of an expedited initiate
constexpr std::size_t kSdoSegmentMax = 7;    // data bytes of a segment

// --- Requests of the client.
SdoData sdo_initiate_upload_request(std::uint16_t index, std::uint8_t subindex);
SdoData sdo_upload_segment_request(bool toggle);
// The n bytes at data (1 to 4; more count as 4) in the request itself, their number given.
// n 0 (or no data) sends 4 zero bytes with the size not indicated.
SdoData sdo_initiate_download_expedited(std::uint16_t index, std::uint8_t subindex,
                                        const std::uint8_t* data, std::size_t n);
SdoData sdo_initiate_download_segmented(std::uint16_t index, std::uint8_t subindex,
                                        std::uint32_t size);
// The n bytes at data (0 to 7; more count as 7; none without data); last: no more segments
// follow.
SdoData sdo_download_segment_request(bool toggle, const std::uint8_t* data, std::size_t n,
                                     bool last);

// --- Responses of the server (the same rules for n).
SdoData sdo_initiate_upload_expedited(std::uint16_t index, std::uint8_t subindex,
                                      const std::uint8_t* data, std::size_t n);
SdoData sdo_initiate_upload_segmented(std::uint16_t index, std::uint8_t subindex,
                                      std::uint32_t size);
SdoData sdo_upload_segment_response(bool toggle, const std::uint8_t* data, std::size_t n,
                                    bool last);
SdoData sdo_initiate_download_response(std::uint16_t index, std::uint8_t subindex);
SdoData sdo_download_segment_response(bool toggle);

// --- Either side: ends the transfer of the object.
SdoData sdo_abort_transfer(std::uint16_t index, std::uint8_t subindex, std::uint32_t code);
inline SdoData sdo_abort_transfer(std::uint16_t index, std::uint8_t subindex, SdoAbort code) {
  return sdo_abort_transfer(index, subindex, code_of(code));
}

// --- Decoding a received frame.
enum class SdoKind : std::uint8_t {
  kNone,  // nothing this side decodes: no bytes, a block transfer or an unknown specifier
  kInitiateUpload,
  kUploadSegment,
  kInitiateDownload,
  kDownloadSegment,
  kAbort,
};

// What one SDO frame says. A frame shorter than its command byte announces still decodes:
// the fields it lacks stay 0 and `truncated` is set; bits the protocol leaves unused are
// ignored.
struct SdoMessage {
  SdoKind kind = SdoKind::kNone;
  // Initiate and abort: the object, when the frame carries bytes 1-3.
  bool has_object = false;
  std::uint16_t index = 0;
  std::uint8_t subindex = 0;
  // Initiate with data or size (upload response, download request): "e" and "s".
  bool expedited = false;
  bool size_indicated = false;
  // The bytes the message announces: of an expedited initiate 4 - n (without "s", those the
  // frame carries, at most 4); of a segmented initiate with "s", bytes 4-7; of a segment 7 - n.
  std::uint32_t size = 0;
  // Segments and their responses.
  bool toggle = false;
  bool last = false;  // "c" of a segment
  // The data bytes the frame carries (expedited initiate, segment): at most `size`.
  std::array<std::uint8_t, 7> data{};
  std::size_t data_len = 0;
  // Abort: bytes 4-7; bytes the frame lacks count as 0.
  std::uint32_t abort_code = 0;
  // Shorter than announced: no bytes 1-3, fewer data bytes than `size` (an expedited initiate
  // with none at all), no size in bytes 4-7 after "s", an abort without all of bytes 4-7.
  bool truncated = false;
};

// The len bytes (the frame's data length: 0 for a remote request; more than 8 count as 8) of
// a frame from a server, as its client reads them.
SdoMessage decode_sdo_response(const std::uint8_t* bytes, std::size_t len);
// ... of a frame from a client, as its server reads them.
SdoMessage decode_sdo_request(const std::uint8_t* bytes, std::size_t len);

}  // namespace canopen
}  // namespace korvel

#endif  // KORVEL_CANOPEN_SDO_H
