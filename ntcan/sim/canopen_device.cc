// canopen_device.cc - CiA 301 device state machine: NMT, node guarding, SDO upload, EMCY.
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
constexpr int kCcsInitiateUpload = 2;
constexpr int kCcsUploadSegment = 3;
constexpr int kCcsAbort = 4;

// SDO server replies, byte 0.
constexpr std::uint8_t kExpeditedUpload = 0x43;  // | (4 - size) << 2
constexpr std::uint8_t kSegmentedUpload = 0x41;  // size in bytes 4..7
constexpr std::uint8_t kAbortTransfer = 0x80;
constexpr std::size_t kSegmentBytes = 7;

constexpr std::uint16_t kDeviceType = 0x1000;
constexpr std::uint16_t kErrorRegister = 0x1001;
constexpr std::uint16_t kDeviceName = 0x1008;
constexpr std::uint16_t kHardwareVersion = 0x1009;
constexpr std::uint16_t kSoftwareVersion = 0x100A;

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

}  // namespace

Device::Device(std::uint8_t node_id) : id_(node_id) {
  objects_[{kDeviceType, 0}] = {0, 0, 0, 0};
  objects_[{kErrorRegister, 0}] = {0};
}

void Device::set_text(std::uint16_t index, std::uint8_t sub, const std::string& text) {
  set_bytes(index, sub, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void Device::set_bytes(std::uint16_t index, std::uint8_t sub, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mx_);
  objects_[{index, sub}] = bytes;
}

void Device::set_u32(std::uint16_t index, std::uint8_t sub, std::uint32_t v) {
  std::vector<std::uint8_t> bytes(4);
  put_u32(bytes.data(), v);
  set_bytes(index, sub, bytes);
}

void Device::set_identity(const std::string& name, const std::string& hw, const std::string& sw) {
  set_text(kDeviceName, 0, name);
  set_text(kHardwareVersion, 0, hw);
  set_text(kSoftwareVersion, 0, sw);
}

NmtState Device::state() const {
  std::lock_guard<std::mutex> lock(mx_);
  return state_;
}

void Device::emergency(std::uint16_t code, std::uint8_t error_register, std::array<std::uint8_t, 5> specific) {
  std::lock_guard<std::mutex> lock(mx_);
  objects_[{kErrorRegister, 0}] = {error_register};
  outbox_.push_back(make_frame(kEmcyBase + id_, {static_cast<std::uint8_t>(code & 0xFF),
                                                 static_cast<std::uint8_t>(code >> 8), error_register, specific[0],
                                                 specific[1], specific[2], specific[3], specific[4]}));
}

void Device::boot() {
  std::lock_guard<std::mutex> lock(mx_);
  state_ = NmtState::kPreOperational;
  guard_toggle_ = false;
  uploading_ = false;
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
  if (mute_) return;  // kept until the device speaks again
  for (const CMSG& m : outbox_) out.push_back({m, now_ns});
  outbox_.clear();
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
      uploading_ = false;
      guard_toggle_ = false;
      state_ = NmtState::kPreOperational;
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
  const std::uint8_t cs = in.data[0];
  std::uint16_t index = static_cast<std::uint16_t>(in.data[1] | in.data[2] << 8);
  std::uint8_t sub = in.data[3];
  const int ccs = cs >> 5;

  if (abort_next_ != 0) {
    const std::uint32_t code = abort_next_;
    abort_next_ = 0;
    if (ccs == kCcsUploadSegment && uploading_) {  // a segment request names no object
      index = up_index_;
      sub = up_sub_;
    }
    uploading_ = false;
    reply(abort_frame(index, sub, code), now_ns, out);
    return;
  }

  switch (ccs) {
    case kCcsAbort:
      uploading_ = false;
      return;
    case kCcsInitiateUpload:
      on_initiate_upload(index, sub, now_ns, out);
      return;
    case kCcsUploadSegment:
      on_upload_segment(cs, index, sub, now_ns, out);
      return;
    default:
      uploading_ = false;  // an abort ends whatever transfer was running
      reply(abort_frame(index, sub, static_cast<std::uint32_t>(SdoAbort::kBadCommand)), now_ns, out);
  }
}

void Device::on_initiate_upload(std::uint16_t index, std::uint8_t sub, std::int64_t now_ns,
                                std::vector<ntcan_sim::TimedFrame>& out) {
  uploading_ = false;
  auto it = objects_.find({index, sub});
  if (it == objects_.end()) {
    auto same_index = objects_.lower_bound({index, 0});
    bool index_exists = same_index != objects_.end() && same_index->first.first == index;
    reply(abort_frame(index, sub,
                      static_cast<std::uint32_t>(index_exists ? SdoAbort::kNoSubindex : SdoAbort::kNoObject)),
          now_ns, out);
    return;
  }
  const auto& value = it->second;
  if (!value.empty() && value.size() <= 4) {
    CMSG r = sdo_frame(kSdoReplyBase + id_, static_cast<std::uint8_t>(kExpeditedUpload | (4 - value.size()) << 2),
                       index, sub);
    std::copy(value.begin(), value.end(), r.data + 4);
    reply(r, now_ns, out);
    return;
  }
  CMSG r = sdo_frame(kSdoReplyBase + id_, kSegmentedUpload, index, sub);
  put_u32(r.data + 4, static_cast<std::uint32_t>(value.size()));
  uploading_ = true;
  up_index_ = index;
  up_sub_ = sub;
  up_offset_ = 0;
  up_toggle_ = false;
  reply(r, now_ns, out);
}

void Device::on_upload_segment(std::uint8_t cs, std::uint16_t index, std::uint8_t sub, std::int64_t now_ns,
                               std::vector<ntcan_sim::TimedFrame>& out) {
  if (!uploading_) {
    reply(abort_frame(index, sub, static_cast<std::uint32_t>(SdoAbort::kBadCommand)), now_ns, out);
    return;
  }
  const bool toggle = (cs & 0x10) != 0;
  if (toggle != up_toggle_) {
    uploading_ = false;
    reply(abort_frame(up_index_, up_sub_, static_cast<std::uint32_t>(SdoAbort::kToggleNotAlternated)), now_ns, out);
    return;
  }
  auto it = objects_.find({up_index_, up_sub_});
  if (it == objects_.end()) {  // removed while being read
    uploading_ = false;
    reply(abort_frame(up_index_, up_sub_, static_cast<std::uint32_t>(SdoAbort::kGeneral)), now_ns, out);
    return;
  }
  const auto& value = it->second;
  const std::size_t left = value.size() > up_offset_ ? value.size() - up_offset_ : 0;
  const std::size_t k = std::min(kSegmentBytes, left);
  const bool last = k == left;
  bool sent_toggle = toggle;
  if (wrong_toggle_) {
    sent_toggle = !sent_toggle;
    wrong_toggle_ = false;
  }
  CMSG r = make_frame(kSdoReplyBase + id_, {0, 0, 0, 0, 0, 0, 0, 0});
  r.data[0] = static_cast<std::uint8_t>((sent_toggle ? 0x10 : 0) | (kSegmentBytes - k) << 1 | (last ? 1 : 0));
  std::copy_n(value.begin() + static_cast<std::ptrdiff_t>(up_offset_), k, r.data + 1);
  up_offset_ += k;
  up_toggle_ = !up_toggle_;
  if (last) uploading_ = false;
  reply(r, now_ns, out);
}

CMSG Device::abort_frame(std::uint16_t index, std::uint8_t sub, std::uint32_t code) const {
  CMSG r = sdo_frame(kSdoReplyBase + id_, kAbortTransfer, index, sub);
  put_u32(r.data + 4, code);
  return r;
}

}  // namespace canopen
