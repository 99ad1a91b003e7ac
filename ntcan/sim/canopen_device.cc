// canopen_device.cc - CiA 301 device state machine: NMT, node guarding, heartbeats, SDO upload
// and download, EMCY.
#include "canopen_device.h"

#include <algorithm>
#include <cstring>

namespace canopen {
namespace {

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
constexpr std::uint8_t kExpeditedBit = 0x02;    // initiate: data in bytes 4..7
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

CMSG make_frame(std::int32_t id, std::initializer_list<std::uint8_t> bytes) {
  CMSG m{};
  m.id = id;
  m.len = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), m.data);
  return m;
}

CMSG sdo_frame(std::int32_t id, std::uint8_t cs, std::uint16_t index, std::uint8_t sub) {
  return make_frame(id, {cs, static_cast<std::uint8_t>(index & 0xFF), static_cast<std::uint8_t>(index >> 8), sub, 0,
                         0, 0, 0});
}

void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<std::uint32_t>(p[3]) << 24;
}

constexpr std::uint32_t code_of(SdoAbort a) { return static_cast<std::uint32_t>(a); }

}  // namespace

Device::Device(std::uint8_t node_id) : id_(node_id) {
  set_object(kDeviceType, 0, Object{{0, 0, 0, 0}, Access::kReadOnly, false});
  set_object(kErrorRegister, 0, Object{{0}, Access::kReadOnly, false});
  set_object(kHeartbeatProducerTime, 0, Object{{0, 0}, Access::kReadWrite, false});
}

void Device::set_object(std::uint16_t index, std::uint8_t sub, Object object) {
  const Key key{index, sub};
  power_on_[key] = object;
  objects_[key] = std::move(object);
  if (key == Key{kHeartbeatProducerTime, 0}) restart_heartbeat_at_next_poll();
}

void Device::set_text(std::uint16_t index, std::uint8_t sub, const std::string& text, Access access) {
  std::lock_guard<std::mutex> lock(mx_);
  set_object(index, sub, Object{std::vector<std::uint8_t>(text.begin(), text.end()), access, true});
}

void Device::set_bytes(std::uint16_t index, std::uint8_t sub, const std::vector<std::uint8_t>& bytes,
                       Access access) {
  std::lock_guard<std::mutex> lock(mx_);
  set_object(index, sub, Object{bytes, access, false});
}

void Device::set_u32(std::uint16_t index, std::uint8_t sub, std::uint32_t v, Access access) {
  std::vector<std::uint8_t> bytes(4);
  put_u32(bytes.data(), v);
  set_bytes(index, sub, bytes, access);
}

void Device::set_identity(const std::string& name, const std::string& hw, const std::string& sw) {
  set_text(kDeviceName, 0, name);
  set_text(kHardwareVersion, 0, hw);
  set_text(kSoftwareVersion, 0, sw);
}

std::vector<std::uint8_t> Device::value(std::uint16_t index, std::uint8_t sub) const {
  std::lock_guard<std::mutex> lock(mx_);
  auto it = objects_.find({index, sub});
  return it == objects_.end() ? std::vector<std::uint8_t>() : it->second.bytes;
}

NmtState Device::state() const {
  std::lock_guard<std::mutex> lock(mx_);
  return state_;
}

void Device::emergency(std::uint16_t code, std::uint8_t error_register, std::array<std::uint8_t, 5> specific) {
  std::lock_guard<std::mutex> lock(mx_);
  objects_[{kErrorRegister, 0}].bytes = {error_register};
  outbox_.push_back(make_frame(kEmcyBase + id_, {static_cast<std::uint8_t>(code & 0xFF),
                                                 static_cast<std::uint8_t>(code >> 8), error_register, specific[0],
                                                 specific[1], specific[2], specific[3], specific[4]}));
}

void Device::boot() {
  std::lock_guard<std::mutex> lock(mx_);
  state_ = NmtState::kPreOperational;
  guard_toggle_ = false;
  transfer_ = Transfer{};
  objects_ = power_on_;
  restart_heartbeat_at_next_poll();
  outbox_.push_back(make_frame(kErrorControlBase + id_, {static_cast<std::uint8_t>(NmtState::kBootUp)}));
}

void Device::delay_replies(std::int64_t ns) {
  std::lock_guard<std::mutex> lock(mx_);
  delay_ns_ = ns;
}

void Device::drop_replies(int n) {
  std::lock_guard<std::mutex> lock(mx_);
  drop_ = n;
}

void Device::wrong_toggle_next_segment() {
  std::lock_guard<std::mutex> lock(mx_);
  wrong_toggle_ = true;
}

void Device::abort_next_sdo(std::uint32_t code) {
  std::lock_guard<std::mutex> lock(mx_);
  abort_next_ = code;
}

void Device::mute(bool on) {
  std::lock_guard<std::mutex> lock(mx_);
  mute_ = on;
}

std::vector<CMSG> Device::received() const {
  std::lock_guard<std::mutex> lock(mx_);
  return received_;
}

int Device::nmt_commands() const {
  std::lock_guard<std::mutex> lock(mx_);
  return nmt_count_;
}

void Device::on_frame(const CMSG& frame, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
  // Bytes beyond the length are not on the bus.
  CMSG in{};
  in.id = frame.id;
  in.len = frame.len;
  const bool remote = (frame.len & NTCAN_RTR) != 0;
  const unsigned dlc = std::min(NTCAN_DLC(frame.len), 8);
  if (!remote) std::memcpy(in.data, frame.data, dlc);

  std::lock_guard<std::mutex> lock(mx_);
  if (in.id == kNmtId && !remote && dlc == 2) {
    if (in.data[1] != 0 && in.data[1] != id_) return;
    received_.push_back(in);
    on_nmt(in, now_ns, out);
  } else if (in.id == kErrorControlBase + id_ && remote) {
    received_.push_back(in);
    on_guard(now_ns, out);
  } else if (in.id == kSdoRequestBase + id_ && !remote && dlc > 0) {
    received_.push_back(in);
    if (state_ != NmtState::kStopped) on_sdo(in, now_ns, out);
  }
}

void Device::poll(std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
  std::lock_guard<std::mutex> lock(mx_);
  if (heartbeat_restart_) restart_heartbeat(now_ns);
  const bool beat = heartbeat_next_ >= 0 && now_ns >= heartbeat_next_;
  if (beat) {
    // Keeps the rhythm; after a gap (silence, a late poll) it starts again from now.
    const std::int64_t period = heartbeat_period_ns();
    heartbeat_next_ += period;
    if (heartbeat_next_ <= now_ns) heartbeat_next_ = now_ns + period;
  }
  if (mute_) return;  // the outbox is kept until the device speaks again
  for (const CMSG& m : outbox_) out.push_back({m, now_ns});
  outbox_.clear();
  if (beat) out.push_back({make_frame(kErrorControlBase + id_, {static_cast<std::uint8_t>(state_)}), now_ns});
}

std::int64_t Device::wake_at() const {
  std::lock_guard<std::mutex> lock(mx_);
  if (heartbeat_restart_) return 0;  // at once: the next poll learns the time
  if (mute_) return -1;
  return heartbeat_next_;
}

std::int64_t Device::heartbeat_period_ns() const {
  auto it = objects_.find({kHeartbeatProducerTime, 0});
  if (it == objects_.end() || it->second.bytes.size() < 2) return 0;
  const auto& b = it->second.bytes;
  return static_cast<std::int64_t>(b[0] | b[1] << 8) * kNsPerMs;
}

void Device::restart_heartbeat_at_next_poll() {
  heartbeat_next_ = -1;
  heartbeat_restart_ = heartbeat_period_ns() > 0;  // the next poll knows the time to start from
}

void Device::restart_heartbeat(std::int64_t now_ns) {
  heartbeat_restart_ = false;
  const std::int64_t period = heartbeat_period_ns();
  heartbeat_next_ = period > 0 ? now_ns + period : -1;
}

// Every frame sent in answer to a received one goes through here, so the reply faults apply
// to SDO responses, guarding answers and the boot-up after a reset alike.
void Device::reply(const CMSG& m, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
  if (mute_) return;
  if (drop_ > 0) {
    --drop_;
    return;
  }
  out.push_back({m, now_ns + delay_ns_});
}

void Device::on_nmt(const CMSG& in, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
  switch (in.data[0]) {
    case kNmtStart:
      state_ = NmtState::kOperational;
      break;
    case kNmtStop:
      state_ = NmtState::kStopped;
      break;
    case kNmtPreOperational:
      state_ = NmtState::kPreOperational;
      break;
    case kNmtReset:
    case kNmtResetCommunication:
      for (const auto& [key, object] : power_on_) {
        if (in.data[0] == kNmtReset || (key.first >= kCommunicationFirst && key.first <= kCommunicationLast)) {
          objects_[key] = object;
        }
      }
      transfer_ = Transfer{};
      guard_toggle_ = false;
      state_ = NmtState::kPreOperational;
      restart_heartbeat(now_ns);
      reply(make_frame(kErrorControlBase + id_, {static_cast<std::uint8_t>(NmtState::kBootUp)}), now_ns, out);
      break;
    default:
      return;  // not a command
  }
  ++nmt_count_;
}

void Device::on_guard(std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
  auto answer = static_cast<std::uint8_t>((static_cast<std::uint8_t>(state_) & 0x7F) | (guard_toggle_ ? 0x80 : 0));
  guard_toggle_ = !guard_toggle_;
  reply(make_frame(kErrorControlBase + id_, {answer}), now_ns, out);
}

void Device::on_sdo(const CMSG& in, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
  const int ccs = in.data[0] >> 5;
  const bool segment = ccs == kCcsDownloadSegment || ccs == kCcsUploadSegment;

  if (abort_next_ != 0) {
    const std::uint32_t code = abort_next_;
    abort_next_ = 0;
    if (segment && transfer_.kind != Transfer::Kind::kNone) {  // a segment request names no object
      abort_transfer(code, now_ns, out);
    } else {
      transfer_ = Transfer{};
      reply(abort_frame(static_cast<std::uint16_t>(in.data[1] | in.data[2] << 8), in.data[3], code), now_ns, out);
    }
    return;
  }

  switch (ccs) {
    case kCcsAbort:
      transfer_ = Transfer{};
      return;
    case kCcsInitiateUpload:
      on_initiate_upload(static_cast<std::uint16_t>(in.data[1] | in.data[2] << 8), in.data[3], now_ns, out);
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

void Device::abort_transfer(std::uint32_t code, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
  const CMSG r = abort_frame(transfer_.index, transfer_.sub, code);
  transfer_ = Transfer{};
  reply(r, now_ns, out);
}

void Device::on_initiate_upload(std::uint16_t index, std::uint8_t sub, std::int64_t now_ns,
                                std::vector<ntcan_sim::TimedFrame>& out) {
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
    CMSG r = sdo_frame(kSdoReplyBase + id_,
                       static_cast<std::uint8_t>(kExpeditedUpload | (kExpeditedBytes - value.size()) << 2), index, sub);
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

void Device::on_upload_segment(std::uint8_t cs, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
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
  r.data[0] = static_cast<std::uint8_t>((sent_toggle ? kToggleBit : 0) | (kSegmentBytes - k) << 1 | (last ? 1 : 0));
  std::copy_n(value.begin() + static_cast<std::ptrdiff_t>(transfer_.offset), k, r.data + 1);
  transfer_.offset += k;
  transfer_.toggle = !transfer_.toggle;
  if (last) transfer_ = Transfer{};
  reply(r, now_ns, out);
}

void Device::on_initiate_download(const CMSG& in, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
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
    if (!sized) size = object->any_length ? kExpeditedBytes : std::min(object->bytes.size(), kExpeditedBytes);
    code = store(index, sub, std::vector<std::uint8_t>(in.data + 4, in.data + 4 + size), now_ns);
    reply(code != 0 ? abort_frame(index, sub, code) : sdo_frame(kSdoReplyBase + id_, kDownloadInitiated, index, sub),
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

void Device::on_download_segment(const CMSG& in, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) {
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
  const bool too_long = transfer_.size >= 0 && transfer_.data.size() > static_cast<std::size_t>(transfer_.size);
  if (too_long || (last && transfer_.size >= 0 && transfer_.data.size() != static_cast<std::size_t>(transfer_.size))) {
    abort_transfer(code_of(SdoAbort::kLengthMismatch), now_ns, out);
    return;
  }
  if (transfer_.data.size() > kMaxDownload) {
    abort_transfer(code_of(SdoAbort::kOutOfMemory), now_ns, out);
    return;
  }
  if (last) {
    const std::uint32_t code = store(transfer_.index, transfer_.sub, std::move(transfer_.data), now_ns);
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
  reply(make_frame(kSdoReplyBase + id_,
                   {static_cast<std::uint8_t>(kDownloadSegmentDone | (sent_toggle ? kToggleBit : 0)), 0, 0, 0, 0, 0,
                    0, 0}),
        now_ns, out);
}

std::uint32_t Device::store(std::uint16_t index, std::uint8_t sub, std::vector<std::uint8_t> bytes,
                            std::int64_t now_ns) {
  Object& object = objects_[{index, sub}];
  if (!object.any_length && bytes.size() != object.bytes.size()) return code_of(SdoAbort::kLengthMismatch);
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
