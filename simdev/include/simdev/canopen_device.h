// canopen_device.h - a simulated CiA 301 device: NMT, node guarding, heartbeats, SDO upload and
// download (expedited and segmented) and emergency frames, as a state machine fed frame by
// frame.
//
// Its object dictionary holds what the set_* calls put there: the values it has at power-on.
// SDO downloads change writable objects until the next NMT reset, which restores the
// power-on values (reset communication: those of 0x1000..0x1FFF only). 0x1017, the heartbeat
// producer time in ms (u16, writable, 0 = no heartbeats), is there from the start.
#ifndef SIMDEV_CANOPEN_DEVICE_H
#define SIMDEV_CANOPEN_DEVICE_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "canopen/nmt.h"
#include "canopen/sdo.h"
#include "canopen/sdo_abort.h"
#include "simdev/device.h"

namespace simdev {
namespace canopen {

// The protocol's own abort codes and NMT states (canopen/), under the device's names too.
using korvel::canopen::NmtState;
using korvel::canopen::SdoAbort;

// What SDO may do with an object.
enum class Access : std::uint8_t { kReadOnly, kReadWrite, kWriteOnly };

class Device : public simdev::Device {
 public:
  // A device in the pre-operational state (as after its boot-up).
  explicit Device(std::uint8_t node_id);

  std::uint8_t node_id() const { return id_; }

  // Object dictionary (power-on values). A download must have the length of the value set
  // with set_bytes or set_u32; a text (set_text) takes any length.
  void set_text(std::uint16_t index, std::uint8_t sub, const std::string& text,
                Access access = Access::kReadOnly);
  void set_bytes(std::uint16_t index, std::uint8_t sub, const std::vector<std::uint8_t>& bytes,
                 Access access = Access::kReadOnly);
  void set_u32(std::uint16_t index, std::uint8_t sub, std::uint32_t v,
               Access access = Access::kReadOnly);
  // Convenience: 0x1008, 0x1009, 0x100A.
  void set_identity(const std::string& name, const std::string& hw, const std::string& sw);
  // The current value of an object (as downloaded); empty if there is none.
  std::vector<std::uint8_t> value(std::uint16_t index, std::uint8_t sub) const;

  NmtState state() const;

  // Sends an emergency frame on 0x80 + node-ID at the next bus activity.
  void emergency(std::uint16_t code, std::uint8_t error_register,
                 std::array<std::uint8_t, 5> specific = {0, 0, 0, 0, 0});
  // Sends the boot-up frame at the next bus activity (as after power-on).
  void boot();

  // Faults for tests.
  void delay_replies(std::int64_t ns);      // every reply is sent ns late
  void drop_replies(int n);                 // the next n replies are not sent
  void wrong_toggle_next_segment();         // the next segment reply carries the wrong toggle
  void abort_next_sdo(std::uint32_t code);  // the next SDO request is answered by this abort
  // While on, the device answers nothing and sends nothing (no heartbeats either), as if cut
  // off the bus; it still follows NMT commands. Emergencies and boot-ups raised meanwhile go
  // out once it speaks again; heartbeats resume at their period.
  void mute(bool on);

  // Frames the device received that were addressed to it (NMT, SDO requests, guarding).
  std::vector<CMSG> received() const;
  int nmt_commands() const;

  void on_frame(const CMSG& in, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) override;
  void poll(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) override;
  std::int64_t wake_at() const override;

 private:
  struct Object {
    std::vector<std::uint8_t> bytes;
    Access access = Access::kReadOnly;
    bool any_length = false;  // a text: downloads of any length
  };
  using Key = std::pair<std::uint16_t, std::uint8_t>;
  // The SDO transfer in progress: one at a time, as the protocol allows.
  struct Transfer {
    enum class Kind { kNone, kUpload, kDownload } kind = Kind::kNone;
    std::uint16_t index = 0;
    std::uint8_t sub = 0;
    bool toggle = false;             // the toggle the next segment request must carry
    std::size_t offset = 0;          // upload: bytes sent so far
    std::vector<std::uint8_t> data;  // download: bytes received so far
    std::int64_t size = -1;          // download: size the client indicated, -1: none
  };

  void reply(const CMSG& m, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  void on_nmt(const CMSG& in, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  void on_sdo(const CMSG& in, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  void on_initiate_upload(std::uint16_t index, std::uint8_t sub, std::int64_t now_ns,
                          std::vector<simdev::TimedFrame>& out);
  void on_upload_segment(bool toggle, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  void on_initiate_download(const korvel::canopen::SdoMessage& request, std::int64_t now_ns,
                            std::vector<simdev::TimedFrame>& out);
  void on_download_segment(const korvel::canopen::SdoMessage& request, std::int64_t now_ns,
                           std::vector<simdev::TimedFrame>& out);
  void on_guard(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  // Ends the running transfer (if any) with an abort frame naming its object.
  void abort_transfer(std::uint32_t code, std::int64_t now_ns,
                      std::vector<simdev::TimedFrame>& out);
  // The abort code a request for the object gets, or 0 if it exists; the object in found.
  std::uint32_t lookup(std::uint16_t index, std::uint8_t sub, const Object*& found) const;
  // Stores a completed download: 0, or the abort code that refuses it.
  std::uint32_t store(std::uint16_t index, std::uint8_t sub, std::vector<std::uint8_t> bytes,
                      std::int64_t now_ns);
  CMSG abort_frame(std::uint16_t index, std::uint8_t sub, std::uint32_t code) const;
  // The heartbeat producer follows 0x1017 from now on.
  void restart_heartbeat(std::int64_t now_ns);
  void restart_heartbeat_at_next_poll();
  std::int64_t heartbeat_period_ns() const;
  void set_object(std::uint16_t index, std::uint8_t sub, Object object);

  mutable std::mutex mx_;
  std::uint8_t id_;
  NmtState state_ = NmtState::kPreOperational;
  bool guard_toggle_ = false;
  std::map<Key, Object> objects_;   // current values
  std::map<Key, Object> power_on_;  // what an NMT reset restores
  Transfer transfer_;
  // Heartbeat producer: next one due at heartbeat_next_ (-1: none; heartbeat_restart_: start
  // at the next poll, whose time is not known yet).
  std::int64_t heartbeat_next_ = -1;
  bool heartbeat_restart_ = false;
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
}  // namespace simdev

#endif  // SIMDEV_CANOPEN_DEVICE_H
