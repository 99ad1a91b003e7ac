// SDO frames: building the 8 bytes of each request and response, and reading them back.
#include "canopen/sdo.h"

#include <algorithm>
#include <cstring>

#include "canopen/endian.h"

namespace korvel {
namespace canopen {
namespace {

SdoData with_object(std::uint8_t command, std::uint16_t index, std::uint8_t subindex) {
  SdoData d{};
  d[0] = command;
  put_le16(&d[1], index);
  d[3] = subindex;
  return d;
}

std::uint8_t toggle_bit(bool toggle) { return toggle ? kSdoToggle : 0; }

// An initiate that carries up to 4 bytes (n 0 or no data: 4 zero bytes, size not indicated).
SdoData expedited(std::uint8_t specifier, std::uint16_t index, std::uint8_t subindex,
                  const std::uint8_t* data, std::size_t n) {
  n = data ? std::min(n, kSdoExpeditedMax) : 0;
  SdoData d = with_object(specifier | kSdoExpedited, index, subindex);
  if (n > 0) {
    d[0] = static_cast<std::uint8_t>(d[0] | kSdoSizeIndicated | (kSdoExpeditedMax - n) << 2);
    std::memcpy(&d[4], data, n);
  }
  return d;
}

SdoData segmented(std::uint8_t specifier, std::uint16_t index, std::uint8_t subindex,
                  std::uint32_t size) {
  SdoData d = with_object(specifier | kSdoSizeIndicated, index, subindex);
  put_le32(&d[4], size);
  return d;
}

SdoData segment(std::uint8_t specifier, bool toggle, const std::uint8_t* data, std::size_t n,
                bool last) {
  n = data ? std::min(n, kSdoSegmentMax) : 0;
  SdoData d{};
  d[0] = static_cast<std::uint8_t>(specifier | toggle_bit(toggle) | (kSdoSegmentMax - n) << 1 |
                                   (last ? kSdoLastSegment : 0));
  if (n > 0) std::memcpy(&d[1], data, n);
  return d;
}

// How the bytes after the command byte are laid out, by command specifier.
enum class Layout : std::uint8_t {
  kNothing,   // no message of this direction
  kObject,    // the object only
  kInitiate,  // the object, then expedited data or the size
  kToggle,    // the toggle bit only
  kSegment,   // toggle, bytes without data, "c", data
  kAbort,     // the object and the abort code
};

struct Meaning {
  SdoKind kind;
  Layout layout;
};

// Indexed by the command specifier (bits 5-7); 5 and 6 are block transfers.
constexpr Meaning kServerMeanings[8] = {
    {SdoKind::kUploadSegment, Layout::kSegment},
    {SdoKind::kDownloadSegment, Layout::kToggle},
    {SdoKind::kInitiateUpload, Layout::kInitiate},
    {SdoKind::kInitiateDownload, Layout::kObject},
    {SdoKind::kAbort, Layout::kAbort},
    {SdoKind::kNone, Layout::kNothing},
    {SdoKind::kNone, Layout::kNothing},
    {SdoKind::kNone, Layout::kNothing},
};
constexpr Meaning kClientMeanings[8] = {
    {SdoKind::kDownloadSegment, Layout::kSegment},
    {SdoKind::kInitiateDownload, Layout::kInitiate},
    {SdoKind::kInitiateUpload, Layout::kObject},
    {SdoKind::kUploadSegment, Layout::kToggle},
    {SdoKind::kAbort, Layout::kAbort},
    {SdoKind::kNone, Layout::kNothing},
    {SdoKind::kNone, Layout::kNothing},
    {SdoKind::kNone, Layout::kNothing},
};

// Copies what the frame carries of `announced` data bytes starting at byte `first`.
void take_data(SdoMessage& m, const std::uint8_t* b, std::size_t len, std::size_t first,
               std::size_t announced) {
  m.size = static_cast<std::uint32_t>(announced);
  m.data_len = std::min(announced, len > first ? len - first : 0);
  if (m.data_len > 0) std::memcpy(m.data.data(), b + first, m.data_len);
  if (m.data_len < announced) m.truncated = true;
}

SdoMessage decode(const Meaning (&meanings)[8], const std::uint8_t* b, std::size_t len) {
  SdoMessage m;
  if (!b || len == 0) return m;
  len = std::min<std::size_t>(len, 8);
  const std::uint8_t command = b[0];
  const Meaning meaning = meanings[command >> 5];
  m.kind = meaning.kind;
  const Layout layout = meaning.layout;
  if (layout == Layout::kObject || layout == Layout::kInitiate || layout == Layout::kAbort) {
    m.has_object = len >= 4;
    if (m.has_object) {
      m.index = get_le16(b + 1);
      m.subindex = b[3];
    } else {
      m.truncated = true;
    }
  }
  switch (layout) {
    case Layout::kInitiate:
      m.expedited = (command & kSdoExpedited) != 0;
      m.size_indicated = (command & kSdoSizeIndicated) != 0;
      if (m.expedited) {
        const std::size_t carried = std::min(len > 4 ? len - 4 : 0, kSdoExpeditedMax);
        take_data(m, b, len, 4,
                  m.size_indicated ? kSdoExpeditedMax - ((command >> 2) & 3) : carried);
        if (m.data_len == 0) m.truncated = true;
      } else if (m.size_indicated) {
        if (len == 8) {
          m.size = get_le32(b + 4);
        } else {
          m.truncated = true;
        }
      }
      break;
    case Layout::kSegment:
      m.toggle = (command & kSdoToggle) != 0;
      m.last = (command & kSdoLastSegment) != 0;
      take_data(m, b, len, 1, kSdoSegmentMax - ((command >> 1) & 7));
      break;
    case Layout::kToggle:
      m.toggle = (command & kSdoToggle) != 0;
      break;
    case Layout::kAbort: {
      std::uint8_t code[4] = {0, 0, 0, 0};
      for (std::size_t i = 4; i < len; ++i) code[i - 4] = b[i];
      m.abort_code = get_le32(code);
      if (len < 8) m.truncated = true;
      break;
    }
    case Layout::kNothing:
    case Layout::kObject:
      break;
  }
  return m;
}

}  // namespace

SdoData sdo_initiate_upload_request(std::uint16_t index, std::uint8_t subindex) {
  return with_object(kSdoInitiateUploadRequest, index, subindex);
}

SdoData sdo_upload_segment_request(bool toggle) {
  SdoData d{};
  d[0] = kSdoUploadSegmentRequest | toggle_bit(toggle);
  return d;
}

SdoData sdo_initiate_download_expedited(std::uint16_t index, std::uint8_t subindex,
                                        const std::uint8_t* data, std::size_t n) {
  return expedited(kSdoInitiateDownloadRequest, index, subindex, data, n);
}

SdoData sdo_initiate_download_segmented(std::uint16_t index, std::uint8_t subindex,
                                        std::uint32_t size) {
  return segmented(kSdoInitiateDownloadRequest, index, subindex, size);
}

SdoData sdo_download_segment_request(bool toggle, const std::uint8_t* data, std::size_t n,
                                     bool last) {
  return segment(kSdoDownloadSegmentRequest, toggle, data, n, last);
}

SdoData sdo_initiate_upload_expedited(std::uint16_t index, std::uint8_t subindex,
                                      const std::uint8_t* data, std::size_t n) {
  return expedited(kSdoInitiateUploadResponse, index, subindex, data, n);
}

SdoData sdo_initiate_upload_segmented(std::uint16_t index, std::uint8_t subindex,
                                      std::uint32_t size) {
  return segmented(kSdoInitiateUploadResponse, index, subindex, size);
}

SdoData sdo_upload_segment_response(bool toggle, const std::uint8_t* data, std::size_t n,
                                    bool last) {
  return segment(kSdoUploadSegmentResponse, toggle, data, n, last);
}

SdoData sdo_initiate_download_response(std::uint16_t index, std::uint8_t subindex) {
  return with_object(kSdoInitiateDownloadResponse, index, subindex);
}

SdoData sdo_download_segment_response(bool toggle) {
  SdoData d{};
  d[0] = kSdoDownloadSegmentResponse | toggle_bit(toggle);
  return d;
}

SdoData sdo_abort_transfer(std::uint16_t index, std::uint8_t subindex, std::uint32_t code) {
  SdoData d = with_object(kSdoAbortTransfer, index, subindex);
  put_le32(&d[4], code);
  return d;
}

SdoMessage decode_sdo_response(const std::uint8_t* bytes, std::size_t len) {
  return decode(kServerMeanings, bytes, len);
}

SdoMessage decode_sdo_request(const std::uint8_t* bytes, std::size_t len) {
  return decode(kClientMeanings, bytes, len);
}

}  // namespace canopen
}  // namespace korvel
