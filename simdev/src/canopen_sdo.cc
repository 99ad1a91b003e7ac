// canopen_sdo.cc - the simulated device's SDO server: upload and download, expedited and
// segmented, and the aborts that refuse or end a transfer. Requests are decoded and replies
// encoded by the protocol component (canopen/sdo.h).
#include <algorithm>

#include "canopen/cob_id.h"
#include "canopen/endian.h"
#include "canopen/objects.h"
#include "canopen/sdo.h"
#include "device_frames.h"
#include "simdev/canopen_device.h"

namespace simdev {
namespace canopen {

namespace co = korvel::canopen;
using co::SdoKind;

namespace {

// A segmented download longer than this is refused: the device has no room for it.
constexpr std::size_t kMaxDownload = 65536;

}  // namespace

void Device::on_sdo(const CMSG& in, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  const co::SdoMessage request = co::decode_sdo_request(in.data, NTCAN_DLC(in.len));
  const bool segment =
      request.kind == SdoKind::kDownloadSegment || request.kind == SdoKind::kUploadSegment;

  if (abort_next_ != 0) {
    const std::uint32_t code = abort_next_;
    abort_next_ = 0;
    if (segment && transfer_.kind != Transfer::Kind::kNone) {  // a segment request names no object
      abort_transfer(code, now_ns, out);
    } else {
      transfer_ = Transfer{};
      reply(abort_frame(request.index, request.subindex, code), now_ns, out);
    }
    return;
  }

  switch (request.kind) {
    case SdoKind::kAbort:
      transfer_ = Transfer{};
      return;
    case SdoKind::kInitiateUpload:
      on_initiate_upload(request.index, request.subindex, now_ns, out);
      return;
    case SdoKind::kUploadSegment:
      on_upload_segment(request.toggle, now_ns, out);
      return;
    case SdoKind::kInitiateDownload:
      on_initiate_download(request, now_ns, out);
      return;
    case SdoKind::kDownloadSegment:
      on_download_segment(request, now_ns, out);
      return;
    case SdoKind::kNone:
      break;
  }
  // An unknown request (a block transfer among them) ends whatever transfer was running; the
  // abort names the object its bytes 1-3 would name.
  transfer_ = Transfer{};
  reply(abort_frame(static_cast<std::uint16_t>(in.data[1] | in.data[2] << 8), in.data[3],
                    co::code_of(SdoAbort::kBadCommand)),
        now_ns, out);
}

std::uint32_t Device::lookup(std::uint16_t index, std::uint8_t sub, const Object*& found) const {
  auto it = objects_.find({index, sub});
  if (it != objects_.end()) {
    found = &it->second;
    return 0;
  }
  auto same_index = objects_.lower_bound({index, 0});
  const bool index_exists = same_index != objects_.end() && same_index->first.first == index;
  return co::code_of(index_exists ? SdoAbort::kNoSubindex : SdoAbort::kNoObject);
}

void Device::abort_transfer(std::uint32_t code, std::int64_t now_ns,
                            std::vector<simdev::TimedFrame>& out) {
  const CMSG r = abort_frame(transfer_.index, transfer_.sub, code);
  transfer_ = Transfer{};
  reply(r, now_ns, out);
}

void Device::on_initiate_upload(std::uint16_t index, std::uint8_t sub, std::int64_t now_ns,
                                std::vector<simdev::TimedFrame>& out) {
  transfer_ = Transfer{};
  const Object* object = nullptr;
  std::uint32_t code = lookup(index, sub, object);
  if (code == 0 && object->access == Access::kWriteOnly) code = co::code_of(SdoAbort::kWriteOnly);
  if (code != 0) {
    reply(abort_frame(index, sub, code), now_ns, out);
    return;
  }
  const auto& value = object->bytes;
  if (!value.empty() && value.size() <= co::kSdoExpeditedMax) {
    reply(sdo_frame(co::sdo_response_id(id_),
                    co::sdo_initiate_upload_expedited(index, sub, value.data(), value.size())),
          now_ns, out);
    return;
  }
  transfer_.kind = Transfer::Kind::kUpload;
  transfer_.index = index;
  transfer_.sub = sub;
  reply(sdo_frame(co::sdo_response_id(id_),
                  co::sdo_initiate_upload_segmented(index, sub,
                                                    static_cast<std::uint32_t>(value.size()))),
        now_ns, out);
}

void Device::on_upload_segment(bool toggle, std::int64_t now_ns,
                               std::vector<simdev::TimedFrame>& out) {
  if (transfer_.kind != Transfer::Kind::kUpload) {
    if (transfer_.kind == Transfer::Kind::kNone) {
      reply(abort_frame(0, 0, co::code_of(SdoAbort::kBadCommand)), now_ns, out);
    } else {
      abort_transfer(co::code_of(SdoAbort::kBadCommand), now_ns, out);
    }
    return;
  }
  if (toggle != transfer_.toggle) {
    abort_transfer(co::code_of(SdoAbort::kToggleNotAlternated), now_ns, out);
    return;
  }
  auto it = objects_.find({transfer_.index, transfer_.sub});
  if (it == objects_.end()) {  // removed while being read
    abort_transfer(co::code_of(SdoAbort::kGeneral), now_ns, out);
    return;
  }
  const auto& value = it->second.bytes;
  const std::size_t left = value.size() > transfer_.offset ? value.size() - transfer_.offset : 0;
  const std::size_t k = std::min(co::kSdoSegmentMax, left);
  const bool last = k == left;
  bool sent_toggle = toggle;
  if (wrong_toggle_) {
    sent_toggle = !sent_toggle;
    wrong_toggle_ = false;
  }
  const CMSG r = sdo_frame(
      co::sdo_response_id(id_),
      co::sdo_upload_segment_response(sent_toggle, value.data() + transfer_.offset, k, last));
  transfer_.offset += k;
  transfer_.toggle = !transfer_.toggle;
  if (last) transfer_ = Transfer{};
  reply(r, now_ns, out);
}

void Device::on_initiate_download(const co::SdoMessage& request, std::int64_t now_ns,
                                  std::vector<simdev::TimedFrame>& out) {
  transfer_ = Transfer{};
  const std::uint16_t index = request.index;
  const std::uint8_t sub = request.subindex;
  const Object* object = nullptr;
  std::uint32_t code = lookup(index, sub, object);
  if (code == 0 && object->access == Access::kReadOnly) code = co::code_of(SdoAbort::kReadOnly);
  if (code != 0) {
    reply(abort_frame(index, sub, code), now_ns, out);
    return;
  }
  if (request.expedited) {
    std::size_t size = std::min<std::size_t>(request.size, co::kSdoExpeditedMax);
    // Without a size a value of up to four bytes takes the bytes it has; anything else all four.
    if (!request.size_indicated) {
      size = object->any_length ? co::kSdoExpeditedMax
                                : std::min(object->bytes.size(), co::kSdoExpeditedMax);
    }
    size = std::min(size, request.data_len);
    code =
        store(index, sub,
              std::vector<std::uint8_t>(request.data.begin(), request.data.begin() + size), now_ns);
    reply(code != 0
              ? abort_frame(index, sub, code)
              : sdo_frame(co::sdo_response_id(id_), co::sdo_initiate_download_response(index, sub)),
          now_ns, out);
    return;
  }
  const std::int64_t size = request.size_indicated ? static_cast<std::int64_t>(request.size) : -1;
  if (size > static_cast<std::int64_t>(kMaxDownload)) {
    reply(abort_frame(index, sub, co::code_of(SdoAbort::kOutOfMemory)), now_ns, out);
    return;
  }
  if (size >= 0 && !object->any_length && static_cast<std::size_t>(size) != object->bytes.size()) {
    reply(abort_frame(index, sub, co::code_of(SdoAbort::kLengthMismatch)), now_ns, out);
    return;
  }
  transfer_.kind = Transfer::Kind::kDownload;
  transfer_.index = index;
  transfer_.sub = sub;
  transfer_.size = size;
  reply(sdo_frame(co::sdo_response_id(id_), co::sdo_initiate_download_response(index, sub)), now_ns,
        out);
}

void Device::on_download_segment(const co::SdoMessage& request, std::int64_t now_ns,
                                 std::vector<simdev::TimedFrame>& out) {
  if (transfer_.kind != Transfer::Kind::kDownload) {
    if (transfer_.kind == Transfer::Kind::kNone) {
      reply(abort_frame(0, 0, co::code_of(SdoAbort::kBadCommand)), now_ns, out);
    } else {
      abort_transfer(co::code_of(SdoAbort::kBadCommand), now_ns, out);
    }
    return;
  }
  if (request.toggle != transfer_.toggle) {
    abort_transfer(co::code_of(SdoAbort::kToggleNotAlternated), now_ns, out);
    return;
  }
  const std::size_t k = std::min<std::size_t>(request.size, request.data_len);
  transfer_.data.insert(transfer_.data.end(), request.data.begin(), request.data.begin() + k);
  const bool last = request.last;
  const bool too_long =
      transfer_.size >= 0 && transfer_.data.size() > static_cast<std::size_t>(transfer_.size);
  if (too_long || (last && transfer_.size >= 0 &&
                   transfer_.data.size() != static_cast<std::size_t>(transfer_.size))) {
    abort_transfer(co::code_of(SdoAbort::kLengthMismatch), now_ns, out);
    return;
  }
  if (transfer_.data.size() > kMaxDownload) {
    abort_transfer(co::code_of(SdoAbort::kOutOfMemory), now_ns, out);
    return;
  }
  if (last) {
    const std::uint32_t code =
        store(transfer_.index, transfer_.sub, std::move(transfer_.data), now_ns);
    if (code != 0) {
      abort_transfer(code, now_ns, out);
      return;
    }
    transfer_ = Transfer{};
  } else {
    transfer_.toggle = !transfer_.toggle;
  }
  bool sent_toggle = request.toggle;
  if (wrong_toggle_) {
    sent_toggle = !sent_toggle;
    wrong_toggle_ = false;
  }
  reply(sdo_frame(co::sdo_response_id(id_), co::sdo_download_segment_response(sent_toggle)), now_ns,
        out);
}

std::uint32_t Device::store(std::uint16_t index, std::uint8_t sub, std::vector<std::uint8_t> bytes,
                            std::int64_t now_ns) {
  Object& object = objects_[{index, sub}];
  if (!object.any_length && bytes.size() != object.bytes.size())
    return co::code_of(SdoAbort::kLengthMismatch);
  if (const std::uint32_t refused = check_pdo_write(index, sub, bytes)) return refused;
  if (object.mappable) {
    write_process(index, sub, co::get_le(bytes.data(), bytes.size()));
    return 0;
  }
  object.bytes = std::move(bytes);
  if (index == co::object::kProducerHeartbeatTime && sub == 0) restart_heartbeat(now_ns);
  if (index >= co::object::kRpdoCommunicationFirst && index <= co::object::kTpdoMappingLast)
    rebuild_pdos();
  return 0;
}

CMSG Device::abort_frame(std::uint16_t index, std::uint8_t sub, std::uint32_t code) const {
  return sdo_frame(co::sdo_response_id(id_), co::sdo_abort_transfer(index, sub, code));
}

}  // namespace canopen
}  // namespace simdev
