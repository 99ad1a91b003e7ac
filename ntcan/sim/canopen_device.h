// canopen_device.h - a simulated CiA 301 device: NMT, node guarding, SDO upload (expedited and
// segmented) and emergency frames, as a state machine fed frame by frame.
#ifndef CANOPEN_DEVICE_H
#define CANOPEN_DEVICE_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device.h"

namespace canopen {

// SDO abort codes.
enum class SdoAbort : std::uint32_t {
  kToggleNotAlternated = 0x05030000,
  kTimedOut = 0x05040000,
  kBadCommand = 0x05040001,
  kOutOfMemory = 0x05040005,
  kWriteOnly = 0x06010001,
  kNoObject = 0x06020000,
  kNoSubindex = 0x06090011,
  kGeneral = 0x08000000,
};

enum class NmtState : std::uint8_t {
  kBootUp = 0x00,
  kStopped = 0x04,
  kOperational = 0x05,
  kPreOperational = 0x7F,
};

// NMT command specifiers.
enum NmtCommand : std::uint8_t {
  kNmtStart = 0x01,
  kNmtStop = 0x02,
  kNmtPreOperational = 0x80,
  kNmtReset = 0x81,
  kNmtResetCommunication = 0x82,
};

class Device : public ntcan_sim::Device {
 public:
  // A device in the pre-operational state (as after its boot-up).
  explicit Device(std::uint8_t node_id);

  std::uint8_t node_id() const { return id_; }

  // Object dictionary.
  void set_text(std::uint16_t index, std::uint8_t sub, const std::string& text);
  void set_bytes(std::uint16_t index, std::uint8_t sub, const std::vector<std::uint8_t>& bytes);
  void set_u32(std::uint16_t index, std::uint8_t sub, std::uint32_t v);
  // Convenience: 0x1008, 0x1009, 0x100A.
  void set_identity(const std::string& name, const std::string& hw, const std::string& sw);

  NmtState state() const;

  // Sends an emergency frame on 0x80 + node-ID at the next bus activity.
  void emergency(std::uint16_t code, std::uint8_t error_register,
                 std::array<std::uint8_t, 5> specific = {0, 0, 0, 0, 0});
  // Sends the boot-up frame at the next bus activity (as after power-on).
  void boot();

  // Faults for tests.
  void delay_replies(std::int64_t ns);         // every reply is sent ns late
  void drop_replies(int n);                    // the next n replies are not sent
  void wrong_toggle_next_segment();            // the next segment reply carries the wrong toggle
  void abort_next_sdo(std::uint32_t code);     // the next SDO request is answered by this abort
  void mute(bool on);                          // answers nothing at all while on

  // Frames the device received that were addressed to it (NMT, SDO requests, guarding).
  std::vector<CMSG> received() const;
  int nmt_commands() const;

  void on_frame(const CMSG& in, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) override;
  void poll(std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out) override;

 private:
  void reply(const CMSG& m, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out);
  void on_nmt(const CMSG& in, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out);
  void on_sdo(const CMSG& in, std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out);
  void on_initiate_upload(std::uint16_t index, std::uint8_t sub, std::int64_t now_ns,
                          std::vector<ntcan_sim::TimedFrame>& out);
  void on_upload_segment(std::uint8_t cs, std::uint16_t index, std::uint8_t sub, std::int64_t now_ns,
                         std::vector<ntcan_sim::TimedFrame>& out);
  void on_guard(std::int64_t now_ns, std::vector<ntcan_sim::TimedFrame>& out);
  CMSG abort_frame(std::uint16_t index, std::uint8_t sub, std::uint32_t code) const;

  mutable std::mutex mx_;
  std::uint8_t id_;
  NmtState state_ = NmtState::kPreOperational;
  bool guard_toggle_ = false;
  std::map<std::pair<std::uint16_t, std::uint8_t>, std::vector<std::uint8_t>> objects_;
  // Running segmented upload.
  bool uploading_ = false;
  std::uint16_t up_index_ = 0;
  std::uint8_t up_sub_ = 0;
  std::size_t up_offset_ = 0;
  bool up_toggle_ = false;
  // Faults.
  std::int64_t delay_ns_ = 0;
  int drop_ = 0;
  bool wrong_toggle_ = false;
  std::uint32_t abort_next_ = 0;
  bool mute_ = false;
  std::vector<CMSG> outbox_;
  std::vector<CMSG> received_;
  int nmt_count_ = 0;
};

}  // namespace canopen

#endif  // CANOPEN_DEVICE_H
