// canopen_device.cc - CiA 301 device state machine: object dictionary, NMT, node guarding,
// heartbeats, EMCY, reply faults. The SDO server is in canopen_sdo.cc.
#include "simdev/canopen_device.h"

#include <algorithm>
#include <cstring>

#include "canopen/cob_id.h"
#include "canopen/endian.h"
#include "canopen/nmt.h"
#include "canopen/objects.h"
#include "device_frames.h"

namespace simdev {
namespace canopen {

namespace co = korvel::canopen;
namespace object = korvel::canopen::object;

namespace {

// Reset communication restores the objects of the communication profile area.
constexpr std::uint16_t kCommunicationFirst = 0x1000;
constexpr std::uint16_t kCommunicationLast = 0x1FFF;

}  // namespace

Device::Device(std::uint8_t node_id) : id_(node_id) {
  set_object(object::kDeviceType, 0, Object{{0, 0, 0, 0}, Access::kReadOnly, false});
  set_object(object::kErrorRegister, 0, Object{{0}, Access::kReadOnly, false});
  set_object(object::kProducerHeartbeatTime, 0, Object{{0, 0}, Access::kReadWrite, false});
  init_pdo_objects();
  rebuild_pdos();
}

void Device::set_object(std::uint16_t index, std::uint8_t sub, Object object) {
  const Key key{index, sub};
  power_on_[key] = object;
  objects_[key] = std::move(object);
  if (key == Key{object::kProducerHeartbeatTime, 0}) restart_heartbeat_at_next_poll();
}

void Device::set_text(std::uint16_t index, std::uint8_t sub, const std::string& text,
                      Access access) {
  std::lock_guard<std::mutex> lock(mx_);
  set_object(index, sub, Object{std::vector<std::uint8_t>(text.begin(), text.end()), access, true});
}

void Device::set_bytes(std::uint16_t index, std::uint8_t sub,
                       const std::vector<std::uint8_t>& bytes, Access access) {
  std::lock_guard<std::mutex> lock(mx_);
  set_object(index, sub, Object{bytes, access, false});
}

void Device::set_u32(std::uint16_t index, std::uint8_t sub, std::uint32_t v, Access access) {
  std::vector<std::uint8_t> bytes(4);
  co::put_le32(bytes.data(), v);
  set_bytes(index, sub, bytes, access);
}

void Device::set_identity(const std::string& name, const std::string& hw, const std::string& sw) {
  set_text(object::kManufacturerDeviceName, 0, name);
  set_text(object::kManufacturerHardwareVersion, 0, hw);
  set_text(object::kManufacturerSoftwareVersion, 0, sw);
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

void Device::emergency(std::uint16_t code, std::uint8_t error_register,
                       std::array<std::uint8_t, 5> specific) {
  std::lock_guard<std::mutex> lock(mx_);
  objects_[{object::kErrorRegister, 0}].bytes = {error_register};
  outbox_.push_back(data_frame(
      co::emcy_id(id_),
      {static_cast<std::uint8_t>(code & 0xFF), static_cast<std::uint8_t>(code >> 8), error_register,
       specific[0], specific[1], specific[2], specific[3], specific[4]}));
}

void Device::boot() {
  std::lock_guard<std::mutex> lock(mx_);
  state_ = NmtState::kPreOperational;
  guard_toggle_ = false;
  transfer_ = Transfer{};
  objects_ = power_on_;
  rebuild_pdos();
  restart_heartbeat_at_next_poll();
  outbox_.push_back(to_cmsg(co::error_control_frame(id_, NmtState::kBootUp)));
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

void Device::on_frame(const CMSG& frame, std::int64_t now_ns,
                      std::vector<simdev::TimedFrame>& out) {
  // Bytes beyond the length are not on the bus.
  CMSG in{};
  in.id = frame.id;
  in.len = frame.len;
  const bool remote = (frame.len & NTCAN_RTR) != 0;
  const unsigned dlc = std::min(NTCAN_DLC(frame.len), 8);
  if (!remote) std::memcpy(in.data, frame.data, dlc);

  std::lock_guard<std::mutex> lock(mx_);
  if (in.id == co::kNmtId && !remote && dlc == 2) {
    if (in.data[1] != 0 && in.data[1] != id_) return;
    received_.push_back(in);
    on_nmt(in, now_ns, out);
  } else if (in.id == co::error_control_id(id_) && remote) {
    received_.push_back(in);
    on_guard(now_ns, out);
  } else if (in.id == co::sdo_request_id(id_) && !remote && dlc > 0) {
    received_.push_back(in);
    if (state_ != NmtState::kStopped) on_sdo(in, now_ns, out);
  } else if (in.id == co::kSyncId && !remote && dlc <= 1) {
    on_sync(now_ns, out);
  } else if (!remote) {
    on_rpdo(in, now_ns, out);
  }
}

void Device::poll(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
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
  if (beat) out.push_back({to_cmsg(co::error_control_frame(id_, state_)), now_ns});
  poll_pdos(now_ns, out);
}

std::int64_t Device::wake_at() const {
  std::lock_guard<std::mutex> lock(mx_);
  if (heartbeat_restart_) return 0;  // at once: the next poll learns the time
  if (mute_) return -1;
  const std::int64_t pdos = pdos_wake_at();
  if (pdos >= 0 && (heartbeat_next_ < 0 || pdos < heartbeat_next_)) return pdos;
  return heartbeat_next_;
}

std::int64_t Device::heartbeat_period_ns() const {
  auto it = objects_.find({object::kProducerHeartbeatTime, 0});
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
void Device::reply(const CMSG& m, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  if (mute_) return;
  if (drop_ > 0) {
    --drop_;
    return;
  }
  out.push_back({m, now_ns + delay_ns_});
}

void Device::on_nmt(const CMSG& in, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  using co::NmtCommand;
  const auto command = static_cast<NmtCommand>(in.data[0]);
  switch (command) {
    case NmtCommand::kStart:
      if (state_ != NmtState::kOperational) {
        state_ = NmtState::kOperational;
        start_pdos(now_ns);
      }
      break;
    case NmtCommand::kStop:
      state_ = NmtState::kStopped;
      break;
    case NmtCommand::kEnterPreOperational:
      state_ = NmtState::kPreOperational;
      break;
    case NmtCommand::kResetNode:
    case NmtCommand::kResetCommunication:
      for (const auto& [key, value] : power_on_) {
        if (command == NmtCommand::kResetNode ||
            (key.first >= kCommunicationFirst && key.first <= kCommunicationLast)) {
          objects_[key] = value;
        }
      }
      transfer_ = Transfer{};
      guard_toggle_ = false;
      state_ = NmtState::kPreOperational;
      rebuild_pdos();
      restart_heartbeat(now_ns);
      reply(to_cmsg(co::error_control_frame(id_, NmtState::kBootUp)), now_ns, out);
      break;
    default:
      return;  // not a command
  }
  ++nmt_count_;
}

void Device::on_guard(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  const bool toggle = guard_toggle_;
  guard_toggle_ = !guard_toggle_;
  reply(to_cmsg(co::error_control_frame(id_, state_, toggle)), now_ns, out);
}

}  // namespace canopen
}  // namespace simdev
