// canopen_device.h - a simulated CiA 301 device: NMT, node guarding, heartbeats, SDO upload and
// download (expedited and segmented) and emergency frames, as a state machine fed frame by
// frame.
//
// Its object dictionary holds what the set_* calls put there: the values it has at power-on.
// SDO downloads change writable objects until the next NMT reset, which restores the
// power-on values (reset communication: those of 0x1000..0x1FFF only). 0x1017, the heartbeat
// producer time in ms (u16, writable, 0 = no heartbeats), is there from the start.
//
// Process data: four receive and four transmit PDOs, their communication records
// (0x1400-0x1403, 0x1800-0x1803: sub 1 COB-ID, 2 transmission type, 3 inhibit time, 5 event
// timer) and mappings (0x1600-0x1603, 0x1A00-0x1A03: sub 0 count, subs 1-64 entries), all
// readable and writable by SDO in the CiA 301 order: a mapping changes only while its PDO is
// not valid, its entries only while its count is 0, and they are checked when the count is set.
// PDOs not configured by set_tpdo / set_rpdo / set_pdo are not valid, on their default COB-IDs.
// TPDOs and RPDOs work in the operational state only; remote requests for TPDOs are not served.
#ifndef SIMDEV_CANOPEN_DEVICE_H
#define SIMDEV_CANOPEN_DEVICE_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "canopen/data_type.h"
#include "canopen/nmt.h"
#include "canopen/pdo.h"
#include "canopen/pdo_mapping.h"
#include "canopen/sdo.h"
#include "canopen/sdo_abort.h"
#include "simdev/device.h"

namespace simdev {
namespace canopen {

// The protocol's own abort codes and NMT states (canopen/), under the device's names too.
using korvel::canopen::DataType;
using korvel::canopen::MapEntry;
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

  // --- Process data.
  // A process object a PDO may carry, with its power-on value: raw bits right-aligned (a
  // number in them as korvel::canopen::from_double / from_int64 put it). The type must be one
  // a PDO carries (BOOLEAN, integers of 8 to 64 bits, REAL32, REAL64); false for another.
  bool set_value(std::uint16_t index, std::uint8_t sub, DataType type, std::uint64_t raw,
                 Access access = Access::kReadWrite);
  bool set_number(std::uint16_t index, std::uint8_t sub, DataType type, double v,
                  Access access = Access::kReadWrite);
  // Power-on configuration of transmit / receive PDO pdo (1-4): valid on its default COB-ID,
  // with these entries (process objects declared before, or dummy entries). Returns the abort
  // code an SDO client would get for the same mapping (0: set; otherwise nothing changes).
  std::uint32_t set_tpdo(int pdo, const std::vector<MapEntry>& entries,
                         std::uint8_t transmission_type = korvel::canopen::kEventProfile,
                         std::uint16_t event_timer_ms = 0);
  std::uint32_t set_rpdo(int pdo, const std::vector<MapEntry>& entries,
                         std::uint8_t transmission_type = korvel::canopen::kEventProfile);
  // The same with the whole communication record: its COB-ID entry (bit 31 set: configured but
  // not valid; an 11-bit identifier), transmission type, inhibit time and event timer.
  std::uint32_t set_pdo(korvel::canopen::PdoDirection direction, int pdo,
                        const korvel::canopen::PdoCommunication& comm,
                        const std::vector<MapEntry>& entries);
  // The device's own change of a process object (as its sensors would make it): event-driven
  // TPDOs that carry it go out at the next poll (bus activity, or at once where the host looks
  // at wake_at), synchronous ones of type 0 at the next SYNC. False: no such process object.
  bool set_process_value(std::uint16_t index, std::uint8_t sub, std::uint64_t raw);
  bool set_process_number(std::uint16_t index, std::uint8_t sub, double v);
  // The current raw bits of a process object; 0 when there is none.
  std::uint64_t process_value(std::uint16_t index, std::uint8_t sub) const;
  // While on, the device sends no TPDO (its process data goes stale); it does everything else.
  void stop_transmit_pdos(bool on);

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
    Object() = default;
    Object(std::vector<std::uint8_t> b, Access a, bool any = false)
        : bytes(std::move(b)), access(a), any_length(any) {}
    std::vector<std::uint8_t> bytes;
    Access access = Access::kReadOnly;
    bool any_length = false;          // a text: downloads of any length
    bool mappable = false;            // a process object
    korvel::canopen::ValueType type;  // of a process object
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

  // Process data (canopen_pdo.cc).
  static constexpr int kPdos = 4;
  // Each PDO's communication record and layout as its objects hold them (rebuild_pdos), with
  // what it is doing.
  struct Tpdo {
    korvel::canopen::PdoCommunication comm;
    korvel::canopen::PdoLayout layout;
    bool changed = false;             // a mapped value changed since the last send
    std::int64_t timer_due = -1;      // event timer: next send due (-1: none)
    std::int64_t inhibit_until = -1;  // no send before this
    int syncs = 0;                    // SYNCs since the last send (types 1-240)
  };
  struct Rpdo {
    korvel::canopen::PdoCommunication comm;
    korvel::canopen::PdoLayout layout;
    bool pending = false;  // synchronous: values received, applied at the next SYNC
    std::vector<std::uint64_t> raw;
  };
  void init_pdo_objects();
  // The PDO state from the objects (after a reset or a change of a PDO object).
  void rebuild_pdos();
  korvel::canopen::PdoCommunication communication(std::uint16_t index) const;
  std::vector<MapEntry> mapping(std::uint16_t index) const;
  std::uint64_t raw_of(const Object& o) const;
  // The abort code that refuses a download into a PDO object (0: allowed).
  std::uint32_t check_pdo_write(std::uint16_t index, std::uint8_t sub,
                                const std::vector<std::uint8_t>& bytes) const;
  std::uint32_t check_mapping_entries(bool transmit, const std::vector<MapEntry>& entries) const;
  std::uint32_t configure_pdo(bool transmit, int pdo, const korvel::canopen::PdoCommunication& comm,
                              const std::vector<MapEntry>& entries);
  // Writes a process object's value; TPDOs that carry it are marked changed.
  void write_process(std::uint16_t index, std::uint8_t sub, std::uint64_t raw);
  void mark_changed(std::uint16_t index, std::uint8_t sub);
  void start_pdos(std::int64_t now_ns);  // entering the operational state
  bool may_transmit(int pdo) const;
  void send_tpdo(int pdo, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  void on_sync(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  bool on_rpdo(const CMSG& in, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  void poll_pdos(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out);
  std::int64_t pdos_wake_at() const;

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
  // Process data.
  std::array<Tpdo, kPdos> tpdo_;
  std::array<Rpdo, kPdos> rpdo_;
  bool restart_timers_ = false;  // event timers start again at the next poll
  bool tpdos_stopped_ = false;
  std::vector<CMSG> outbox_;
  std::vector<CMSG> received_;
  int nmt_count_ = 0;
};

}  // namespace canopen
}  // namespace simdev

#endif  // SIMDEV_CANOPEN_DEVICE_H
