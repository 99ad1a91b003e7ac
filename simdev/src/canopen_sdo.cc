// canopen_sdo.cc - the simulated device's SDO server: upload and download, expedited and
// segmented, and the aborts that refuse or end a transfer.
#include <algorithm>

#include "canopen_protocol.h"
#include "simdev/canopen_device.h"

namespace simdev {
namespace canopen {

using namespace protocol;

void Device::on_sdo(const CMSG& in, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  const int ccs = in.data[0] >> 5;
  const bool segment = ccs == kCcsDownloadSegment || ccs == kCcsUploadSegment;

  if (abort_next_ != 0) {
    const std::uint32_t code = abort_next_;
    abort_next_ = 0;
    if (segment && transfer_.kind != Transfer::Kind::kNone) {  // a segment request names no object
      abort_transfer(code, now_ns, out);
    } else {
      transfer_ = Transfer{};
      reply(abort_frame(static_cast<std::uint16_t>(in.data[1] | in.data[2] << 8), in.data[3], code),
            now_ns, out);
    }
    return;
  }

  switch (ccs) {
    case kCcsAbort:
      transfer_ = Transfer{};
      return;
    case kCcsInitiateUpload:
      on_initiate_upload(static_cast<std::uint16_t>(in.data[1] | in.data[2] << 8), in.data[3],
                         now_ns, out);
      return;
    case kCcsUploadSegment:
      on_upload_segment(in.data[0], now_ns, out);
      return;
    case kCcsInitiateDownload:
      on_initiate_download(in, now_ns, out);
      return;
    case kCcsDownloadSegment:
      on_download_segment(in, now_ns, out);
      return;
    default:
      transfer_ = Transfer{};  // an unknown request ends whatever transfer was running
      reply(abort_frame(static_cast<std::uint16_t>(in.data[1] | in.data[2] << 8), in.data[3],
                        code_of(SdoAbort::kBadCommand)),
            now_ns, out);
  }
}

std::uint32_t Device::lookup(std::uint16_t index, std::uint8_t sub, const Object*& found) const {
  auto it = objects_.find({index, sub});
  if (it != objects_.end()) {
    found = &it->second;
    return 0;
  }
  auto same_index = objects_.lower_bound({index, 0});
  const bool index_exists = same_index != objects_.end() && same_index->first.first == index;
  return code_of(index_exists ? SdoAbort::kNoSubindex : SdoAbort::kNoObject);
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
  if (code == 0 && object->access == Access::kWriteOnly) code = code_of(SdoAbort::kWriteOnly);
  if (code != 0) {
    reply(abort_frame(index, sub, code), now_ns, out);
    return;
  }
  const auto& value = object->bytes;
  if (!value.empty() && value.size() <= kExpeditedBytes) {
    CMSG r = sdo_frame(
        kSdoReplyBase + id_,
        static_cast<std::uint8_t>(kExpeditedUpload | (kExpeditedBytes - value.size()) << 2), index,
        sub);
    std::copy(value.begin(), value.end(), r.data + 4);
    reply(r, now_ns, out);
    return;
  }
  CMSG r = sdo_frame(kSdoReplyBase + id_, kSegmentedUpload, index, sub);
  put_u32(r.data + 4, static_cast<std::uint32_t>(value.size()));
  transfer_.kind = Transfer::Kind::kUpload;
  transfer_.index = index;
  transfer_.sub = sub;
  reply(r, now_ns, out);
}

void Device::on_upload_segment(std::uint8_t cs, std::int64_t now_ns,
                               std::vector<simdev::TimedFrame>& out) {
  if (transfer_.kind != Transfer::Kind::kUpload) {
    if (transfer_.kind == Transfer::Kind::kNone) {
      reply(abort_frame(0, 0, code_of(SdoAbort::kBadCommand)), now_ns, out);
    } else {
      abort_transfer(code_of(SdoAbort::kBadCommand), now_ns, out);
    }
    return;
  }
  const bool toggle = (cs & kToggleBit) != 0;
  if (toggle != transfer_.toggle) {
    abort_transfer(code_of(SdoAbort::kToggleNotAlternated), now_ns, out);
    return;
  }
  auto it = objects_.find({transfer_.index, transfer_.sub});
  if (it == objects_.end()) {  // removed while being read
    abort_transfer(code_of(SdoAbort::kGeneral), now_ns, out);
    return;
  }
  const auto& value = it->second.bytes;
  const std::size_t left = value.size() > transfer_.offset ? value.size() - transfer_.offset : 0;
  const std::size_t k = std::min(kSegmentBytes, left);
  const bool last = k == left;
  bool sent_toggle = toggle;
  if (wrong_toggle_) {
    sent_toggle = !sent_toggle;
    wrong_toggle_ = false;
  }
  CMSG r = make_frame(kSdoReplyBase + id_, {0, 0, 0, 0, 0, 0, 0, 0});
  r.data[0] = static_cast<std::uint8_t>((sent_toggle ? kToggleBit : 0) | (kSegmentBytes - k) << 1 |
                                        (last ? 1 : 0));
  std::copy_n(value.begin() + static_cast<std::ptrdiff_t>(transfer_.offset), k, r.data + 1);
  transfer_.offset += k;
  transfer_.toggle = !transfer_.toggle;
  if (last) transfer_ = Transfer{};
  reply(r, now_ns, out);
}

void Device::on_initiate_download(const CMSG& in, std::int64_t now_ns,
                                  std::vector<simdev::TimedFrame>& out) {
  transfer_ = Transfer{};
  const std::uint8_t cs = in.data[0];
  const auto index = static_cast<std::uint16_t>(in.data[1] | in.data[2] << 8);
  const std::uint8_t sub = in.data[3];
  const Object* object = nullptr;
  std::uint32_t code = lookup(index, sub, object);
  if (code == 0 && object->access == Access::kReadOnly) code = code_of(SdoAbort::kReadOnly);
  if (code != 0) {
    reply(abort_frame(index, sub, code), now_ns, out);
    return;
  }
  const bool sized = (cs & kSizeIndicatedBit) != 0;
  if (cs & kExpeditedBit) {
    std::size_t size = kExpeditedBytes - ((cs >> 2) & 3);
    // Without a size a value of up to four bytes takes the bytes it has; anything else all four.
    if (!sized)
      size = object->any_length ? kExpeditedBytes : std::min(object->bytes.size(), kExpeditedBytes);
    code = store(index, sub, std::vector<std::uint8_t>(in.data + 4, in.data + 4 + size), now_ns);
    reply(code != 0 ? abort_frame(index, sub, code)
                    : sdo_frame(kSdoReplyBase + id_, kDownloadInitiated, index, sub),
          now_ns, out);
    return;
  }
  const std::int64_t size = sized ? static_cast<std::int64_t>(get_u32(in.data + 4)) : -1;
  if (size > static_cast<std::int64_t>(kMaxDownload)) {
    reply(abort_frame(index, sub, code_of(SdoAbort::kOutOfMemory)), now_ns, out);
    return;
  }
  if (size >= 0 && !object->any_length && static_cast<std::size_t>(size) != object->bytes.size()) {
    reply(abort_frame(index, sub, code_of(SdoAbort::kLengthMismatch)), now_ns, out);
    return;
  }
  transfer_.kind = Transfer::Kind::kDownload;
  transfer_.index = index;
  transfer_.sub = sub;
  transfer_.size = size;
  reply(sdo_frame(kSdoReplyBase + id_, kDownloadInitiated, index, sub), now_ns, out);
}

void Device::on_download_segment(const CMSG& in, std::int64_t now_ns,
                                 std::vector<simdev::TimedFrame>& out) {
  if (transfer_.kind != Transfer::Kind::kDownload) {
    if (transfer_.kind == Transfer::Kind::kNone) {
      reply(abort_frame(0, 0, code_of(SdoAbort::kBadCommand)), now_ns, out);
    } else {
      abort_transfer(code_of(SdoAbort::kBadCommand), now_ns, out);
    }
    return;
  }
  const std::uint8_t cs = in.data[0];
  const bool toggle = (cs & kToggleBit) != 0;
  if (toggle != transfer_.toggle) {
    abort_transfer(code_of(SdoAbort::kToggleNotAlternated), now_ns, out);
    return;
  }
  const std::size_t k = kSegmentBytes - ((cs >> 1) & 7);
  transfer_.data.insert(transfer_.data.end(), in.data + 1, in.data + 1 + k);
  const bool last = (cs & kLastSegmentBit) != 0;
  const bool too_long =
      transfer_.size >= 0 && transfer_.data.size() > static_cast<std::size_t>(transfer_.size);
  if (too_long || (last && transfer_.size >= 0 &&
                   transfer_.data.size() != static_cast<std::size_t>(transfer_.size))) {
    abort_transfer(code_of(SdoAbort::kLengthMismatch), now_ns, out);
    return;
  }
  if (transfer_.data.size() > kMaxDownload) {
    abort_transfer(code_of(SdoAbort::kOutOfMemory), now_ns, out);
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
  bool sent_toggle = toggle;
  if (wrong_toggle_) {
    sent_toggle = !sent_toggle;
    wrong_toggle_ = false;
  }
  reply(make_frame(kSdoReplyBase + id_, {static_cast<std::uint8_t>(kDownloadSegmentDone |
                                                                   (sent_toggle ? kToggleBit : 0)),
                                         0, 0, 0, 0, 0, 0, 0}),
        now_ns, out);
}

std::uint32_t Device::store(std::uint16_t index, std::uint8_t sub, std::vector<std::uint8_t> bytes,
                            std::int64_t now_ns) {
  Object& object = objects_[{index, sub}];
  if (!object.any_length && bytes.size() != object.bytes.size())
    return code_of(SdoAbort::kLengthMismatch);
  object.bytes = std::move(bytes);
  if (index == kHeartbeatProducerTime && sub == 0) restart_heartbeat(now_ns);
  return 0;
}

CMSG Device::abort_frame(std::uint16_t index, std::uint8_t sub, std::uint32_t code) const {
  CMSG r = sdo_frame(kSdoReplyBase + id_, kAbortTransfer, index, sub);
  put_u32(r.data + 4, code);
  return r;
}

}  // namespace canopen
}  // namespace simdev
