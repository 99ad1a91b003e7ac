// canopen_pdo.cc - the simulated device's process data: process objects, the PDO
// communication and mapping objects with the CiA 301 rules for changing them, transmit PDOs
// (event-driven with inhibit time and event timer, synchronous after SYNC) and receive PDOs.
// Layouts, entries and values are the protocol component's (canopen/pdo.h, data_type.h).
#include <algorithm>

#include "canbus/can_frame.h"
#include "canopen/cob_id.h"
#include "canopen/endian.h"
#include "canopen/objects.h"
#include "device_frames.h"
#include "simdev/canopen_device.h"

namespace simdev {
namespace canopen {

namespace co = korvel::canopen;
namespace object = korvel::canopen::object;

namespace {

constexpr std::int64_t kNsPerInhibitUnit = 100000;  // 100 µs
constexpr std::uint8_t kMappingCountSub = 0;
// The emergency a receive PDO shorter than its mapping raises.
constexpr std::uint16_t kEmcyPdoLength = 0x8210;

bool is_communication(std::uint16_t index) {
  return (index >= object::rpdo_communication(1) && index <= object::rpdo_communication(4)) ||
         (index >= object::tpdo_communication(1) && index <= object::tpdo_communication(4));
}
bool is_mapping(std::uint16_t index) {
  return (index >= object::rpdo_mapping(1) && index <= object::rpdo_mapping(4)) ||
         (index >= object::tpdo_mapping(1) && index <= object::tpdo_mapping(4));
}
bool is_transmit(std::uint16_t index) { return index >= object::kTpdoCommunicationFirst; }
// PDO 1-4 of a communication or mapping object.
int pdo_of(std::uint16_t index) { return (index & 0xFF) + 1; }
std::uint16_t communication_of(bool transmit, int pdo) {
  return transmit ? object::tpdo_communication(pdo) : object::rpdo_communication(pdo);
}
std::uint16_t mapping_of(bool transmit, int pdo) {
  return transmit ? object::tpdo_mapping(pdo) : object::rpdo_mapping(pdo);
}

std::vector<std::uint8_t> le_bytes(std::uint64_t v, std::size_t n) {
  std::vector<std::uint8_t> b(n);
  co::put_le(b.data(), n, v);
  return b;
}

std::uint64_t mask(unsigned bits) {
  return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// The raw bits of a value of the type: cut to its length, a BOOLEAN 0 or 1.
std::uint64_t normalized(const co::ValueType& t, std::uint64_t raw) {
  if (t.kind == co::ValueType::Kind::kBoolean) return raw != 0 ? 1 : 0;
  return raw & mask(t.bits);
}

bool valid_transmission_type(std::uint8_t type) {
  return co::synchronous(type) || co::event_driven(type);  // remote requests are not served
}

}  // namespace

void Device::init_pdo_objects() {
  for (bool transmit : {false, true}) {
    for (int pdo = 1; pdo <= kPdos; ++pdo) {
      const std::uint16_t comm = communication_of(transmit, pdo);
      const int id = transmit ? co::tpdo_id(pdo, id_) : co::rpdo_id(pdo, id_);
      set_object(comm, 0, Object{{co::kPdoEventTimerSub}, Access::kReadOnly});
      set_object(comm, co::kPdoCobIdSub,
                 Object{le_bytes(co::kPdoInvalid | static_cast<std::uint32_t>(id), 4),
                        Access::kReadWrite});
      set_object(comm, co::kPdoTransmissionTypeSub,
                 Object{{co::kEventProfile}, Access::kReadWrite});
      set_object(comm, co::kPdoInhibitTimeSub, Object{{0, 0}, Access::kReadWrite});
      set_object(comm, co::kPdoEventTimerSub, Object{{0, 0}, Access::kReadWrite});
      const std::uint16_t map = mapping_of(transmit, pdo);
      set_object(map, kMappingCountSub, Object{{0}, Access::kReadWrite});
      for (std::size_t sub = 1; sub <= co::kMaxMappedObjects; ++sub)
        set_object(map, static_cast<std::uint8_t>(sub), Object{{0, 0, 0, 0}, Access::kReadWrite});
    }
  }
}

std::uint64_t Device::raw_of(const Object& o) const {
  return co::get_le(o.bytes.data(), std::min<std::size_t>(o.bytes.size(), 8));
}

co::PdoCommunication Device::communication(std::uint16_t index) const {
  auto u = [&](std::uint8_t sub) -> std::uint64_t {
    auto it = objects_.find({index, sub});
    return it == objects_.end() ? 0 : raw_of(it->second);
  };
  co::PdoCommunication c;
  c.cob_id_entry = static_cast<std::uint32_t>(u(co::kPdoCobIdSub));
  c.transmission_type = static_cast<std::uint8_t>(u(co::kPdoTransmissionTypeSub));
  c.inhibit_time = static_cast<std::uint16_t>(u(co::kPdoInhibitTimeSub));
  c.event_timer = static_cast<std::uint16_t>(u(co::kPdoEventTimerSub));
  return c;
}

std::vector<MapEntry> Device::mapping(std::uint16_t index) const {
  std::vector<MapEntry> entries;
  auto count = objects_.find({index, kMappingCountSub});
  if (count == objects_.end()) return entries;
  const std::size_t n = std::min<std::size_t>(raw_of(count->second), co::kMaxMappedObjects);
  for (std::size_t sub = 1; sub <= n; ++sub) {
    auto it = objects_.find({index, static_cast<std::uint8_t>(sub)});
    entries.push_back(co::decode_map_entry(
        it == objects_.end() ? 0 : static_cast<std::uint32_t>(raw_of(it->second))));
  }
  return entries;
}

std::uint32_t Device::check_mapping_entries(bool transmit,
                                            const std::vector<MapEntry>& entries) const {
  if (entries.size() > co::kMaxMappedObjects) return co::code_of(SdoAbort::kPdoLengthExceeded);
  unsigned total = 0;
  for (const MapEntry& e : entries) {
    if (e.index == 0 || e.bits == 0) return co::code_of(SdoAbort::kNotMappable);
    if (e.dummy()) {
      co::ValueType t;
      if (!co::value_type_of(static_cast<DataType>(e.index), t) || t.bits != e.bits)
        return co::code_of(SdoAbort::kNotMappable);
    } else {
      auto same_index = objects_.lower_bound({e.index, 0});
      if (same_index == objects_.end() || same_index->first.first != e.index)
        return co::code_of(SdoAbort::kNotMappable);
      auto it = objects_.find({e.index, e.subindex});
      if (it == objects_.end()) return co::code_of(SdoAbort::kNoSubindex);
      const Object& o = it->second;
      // A transmit PDO reads its objects, a receive PDO writes them.
      const Access refused = transmit ? Access::kWriteOnly : Access::kReadOnly;
      if (!o.mappable || o.type.bits != e.bits || o.access == refused)
        return co::code_of(SdoAbort::kNotMappable);
    }
    total += e.bits;
    if (total > co::kMaxPdoBits) return co::code_of(SdoAbort::kPdoLengthExceeded);
  }
  return 0;
}

std::uint32_t Device::check_pdo_write(std::uint16_t index, std::uint8_t sub,
                                      const std::vector<std::uint8_t>& bytes) const {
  const std::uint64_t v = co::get_le(bytes.data(), std::min<std::size_t>(bytes.size(), 8));
  if (is_communication(index)) {
    const co::PdoCommunication now = communication(index);
    switch (sub) {
      case co::kPdoCobIdSub: {
        const auto entry = static_cast<std::uint32_t>(v);
        // While the PDO is valid only the valid bit may change: it must be disabled first.
        if (now.valid() && (entry & co::kPdoInvalid) == 0 && entry != now.cob_id_entry)
          return co::code_of(SdoAbort::kInvalidValue);
        const std::uint32_t id = entry & co::kPdoIdMask;
        if ((entry & co::kPdoExtendedId) != 0 || id == 0 ||
            id > static_cast<std::uint32_t>(canbus::kStandardIdMax))
          return co::code_of(SdoAbort::kInvalidValue);
        return 0;
      }
      case co::kPdoTransmissionTypeSub:
        return valid_transmission_type(static_cast<std::uint8_t>(v))
                   ? 0
                   : co::code_of(SdoAbort::kInvalidValue);
      case co::kPdoInhibitTimeSub:
        return now.valid() ? co::code_of(SdoAbort::kCannotStoreDeviceState) : 0;
      default:
        return 0;
    }
  }
  if (!is_mapping(index)) return 0;
  const bool transmit = is_transmit(index);
  const int pdo = pdo_of(index);
  if (communication(communication_of(transmit, pdo)).valid())
    return co::code_of(SdoAbort::kCannotStoreDeviceState);
  if (sub != kMappingCountSub) {
    // Entries change only while the count is 0.
    return mapping(index).empty() ? 0 : co::code_of(SdoAbort::kCannotStoreDeviceState);
  }
  if (v > co::kMaxMappedObjects) return co::code_of(SdoAbort::kPdoLengthExceeded);
  std::vector<MapEntry> entries;
  for (std::uint64_t k = 1; k <= v; ++k) {
    auto it = objects_.find({index, static_cast<std::uint8_t>(k)});
    entries.push_back(co::decode_map_entry(
        it == objects_.end() ? 0 : static_cast<std::uint32_t>(raw_of(it->second))));
  }
  return check_mapping_entries(transmit, entries);
}

void Device::rebuild_pdos() {
  tpdo_ = {};
  rpdo_ = {};
  for (bool transmit : {false, true}) {
    for (int pdo = 1; pdo <= kPdos; ++pdo) {
      const std::vector<MapEntry> entries = mapping(mapping_of(transmit, pdo));
      std::vector<co::ValueType> types;
      for (const MapEntry& e : entries) {
        co::ValueType t = co::default_value_type(e.bits);
        auto it = objects_.find({e.index, e.subindex});
        if (e.dummy()) {
          co::value_type_of(static_cast<DataType>(e.index), t);
        } else if (it != objects_.end() && it->second.mappable) {
          t = it->second.type;
        }
        types.push_back(t);
      }
      co::PdoLayout layout;
      co::PdoLayout::make(entries, types, layout);  // refused: none (checked when written)
      const co::PdoCommunication comm = communication(communication_of(transmit, pdo));
      if (transmit) {
        tpdo_[pdo - 1].layout = std::move(layout);
        tpdo_[pdo - 1].comm = comm;
      } else {
        rpdo_[pdo - 1].layout = std::move(layout);
        rpdo_[pdo - 1].comm = comm;
      }
    }
  }
  // Event timers and SYNC counts start again; the TPDOs go out as they would on entering the
  // operational state.
  if (state_ == NmtState::kOperational) start_pdos(-1);
}

void Device::start_pdos(std::int64_t now_ns) {
  for (int pdo = 1; pdo <= kPdos; ++pdo) {
    Tpdo& t = tpdo_[pdo - 1];
    const co::PdoCommunication& c = t.comm;
    t.changed = co::event_driven(c.transmission_type);
    t.syncs = 0;
    t.inhibit_until = -1;
    t.timer_due = -1;
    if (co::event_driven(c.transmission_type) && c.event_timer != 0) {
      // now_ns -1: the time is not known here, the next poll starts the timer.
      t.timer_due = now_ns < 0 ? 0 : now_ns + c.event_timer * kNsPerMs;
    }
    rpdo_[pdo - 1].pending = false;
  }
}

std::uint32_t Device::configure_pdo(bool transmit, int pdo, const co::PdoCommunication& comm,
                                    const std::vector<MapEntry>& entries) {
  if (pdo < 1 || pdo > kPdos) return co::code_of(SdoAbort::kNoObject);
  if (!valid_transmission_type(comm.transmission_type) || comm.extended() || comm.id() == 0 ||
      comm.id() > static_cast<std::uint32_t>(canbus::kStandardIdMax))
    return co::code_of(SdoAbort::kInvalidValue);
  if (const std::uint32_t code = check_mapping_entries(transmit, entries)) return code;
  const std::uint16_t comm_index = communication_of(transmit, pdo);
  const std::uint16_t map = mapping_of(transmit, pdo);
  set_object(comm_index, co::kPdoCobIdSub,
             Object{le_bytes(comm.cob_id_entry, 4), Access::kReadWrite});
  set_object(comm_index, co::kPdoTransmissionTypeSub,
             Object{{comm.transmission_type}, Access::kReadWrite});
  set_object(comm_index, co::kPdoInhibitTimeSub,
             Object{le_bytes(comm.inhibit_time, 2), Access::kReadWrite});
  set_object(comm_index, co::kPdoEventTimerSub,
             Object{le_bytes(comm.event_timer, 2), Access::kReadWrite});
  set_object(map, kMappingCountSub,
             Object{{static_cast<std::uint8_t>(entries.size())}, Access::kReadWrite});
  for (std::size_t sub = 1; sub <= co::kMaxMappedObjects; ++sub) {
    const std::uint32_t v = sub <= entries.size() ? co::encode_map_entry(entries[sub - 1]) : 0;
    set_object(map, static_cast<std::uint8_t>(sub), Object{le_bytes(v, 4), Access::kReadWrite});
  }
  rebuild_pdos();
  return 0;
}

std::uint32_t Device::set_tpdo(int pdo, const std::vector<MapEntry>& entries,
                               std::uint8_t transmission_type, std::uint16_t event_timer_ms) {
  co::PdoCommunication comm;
  comm.cob_id_entry = static_cast<std::uint32_t>(co::tpdo_id(pdo, id_));
  comm.transmission_type = transmission_type;
  comm.event_timer = event_timer_ms;
  return set_pdo(co::PdoDirection::kTransmit, pdo, comm, entries);
}

std::uint32_t Device::set_rpdo(int pdo, const std::vector<MapEntry>& entries,
                               std::uint8_t transmission_type) {
  co::PdoCommunication comm;
  comm.cob_id_entry = static_cast<std::uint32_t>(co::rpdo_id(pdo, id_));
  comm.transmission_type = transmission_type;
  return set_pdo(co::PdoDirection::kReceive, pdo, comm, entries);
}

std::uint32_t Device::set_pdo(co::PdoDirection direction, int pdo, const co::PdoCommunication& comm,
                              const std::vector<MapEntry>& entries) {
  std::lock_guard<std::mutex> lock(mx_);
  return configure_pdo(direction == co::PdoDirection::kTransmit, pdo, comm, entries);
}

bool Device::set_value(std::uint16_t index, std::uint8_t sub, DataType type, std::uint64_t raw,
                       Access access) {
  co::ValueType t;
  if (!co::value_type_of(type, t)) return false;
  Object o{le_bytes(normalized(t, raw), (t.bits + 7) / 8), access};
  o.mappable = true;
  o.type = t;
  std::lock_guard<std::mutex> lock(mx_);
  set_object(index, sub, std::move(o));
  return true;
}

bool Device::set_number(std::uint16_t index, std::uint8_t sub, DataType type, double v,
                        Access access) {
  co::ValueType t;
  std::uint64_t raw = 0;
  if (!co::value_type_of(type, t) || !co::from_double(t, v, raw)) return false;
  return set_value(index, sub, type, raw, access);
}

bool Device::set_process_value(std::uint16_t index, std::uint8_t sub, std::uint64_t raw) {
  std::lock_guard<std::mutex> lock(mx_);
  auto it = objects_.find({index, sub});
  if (it == objects_.end() || !it->second.mappable) return false;
  write_process(index, sub, raw);
  return true;
}

bool Device::set_process_number(std::uint16_t index, std::uint8_t sub, double v) {
  std::lock_guard<std::mutex> lock(mx_);
  auto it = objects_.find({index, sub});
  std::uint64_t raw = 0;
  if (it == objects_.end() || !it->second.mappable || !co::from_double(it->second.type, v, raw))
    return false;
  write_process(index, sub, raw);
  return true;
}

std::uint64_t Device::process_value(std::uint16_t index, std::uint8_t sub) const {
  std::lock_guard<std::mutex> lock(mx_);
  auto it = objects_.find({index, sub});
  return it == objects_.end() || !it->second.mappable ? 0 : raw_of(it->second);
}

void Device::stop_transmit_pdos(bool on) {
  std::lock_guard<std::mutex> lock(mx_);
  tpdos_stopped_ = on;
}

void Device::write_process(std::uint16_t index, std::uint8_t sub, std::uint64_t raw) {
  auto it = objects_.find({index, sub});
  if (it == objects_.end() || !it->second.mappable) return;
  Object& o = it->second;
  std::vector<std::uint8_t> bytes = le_bytes(normalized(o.type, raw), o.bytes.size());
  if (bytes == o.bytes) return;
  o.bytes = std::move(bytes);
  mark_changed(index, sub);
}

void Device::mark_changed(std::uint16_t index, std::uint8_t sub) {
  for (Tpdo& t : tpdo_) {
    for (const co::PdoLayout::Slot& s : t.layout.slots()) {
      if (s.entry.index == index && s.entry.subindex == sub) t.changed = true;
    }
  }
}

bool Device::may_transmit(int pdo) const {
  return state_ == NmtState::kOperational && !tpdos_stopped_ && !mute_ &&
         !tpdo_[pdo - 1].layout.slots().empty() && tpdo_[pdo - 1].comm.valid();
}

void Device::send_tpdo(int pdo, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  Tpdo& t = tpdo_[pdo - 1];
  const co::PdoCommunication& c = t.comm;
  std::vector<std::uint64_t> raw;
  for (const co::PdoLayout::Slot& s : t.layout.slots()) {
    auto it = objects_.find({s.entry.index, s.entry.subindex});
    raw.push_back(s.entry.dummy() || it == objects_.end() ? 0 : raw_of(it->second));
  }
  CMSG m{};
  m.id = static_cast<std::int32_t>(c.id());
  m.len = static_cast<std::uint8_t>(t.layout.pack(raw.data(), m.data));
  out.push_back({m, now_ns});
  t.changed = false;
  t.syncs = 0;
  t.inhibit_until = now_ns + c.inhibit_time * kNsPerInhibitUnit;
  if (co::event_driven(c.transmission_type) && c.event_timer != 0)
    t.timer_due = now_ns + c.event_timer * kNsPerMs;
}

void Device::poll_pdos(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  for (int pdo = 1; pdo <= kPdos; ++pdo) {
    Tpdo& t = tpdo_[pdo - 1];
    if (!may_transmit(pdo)) continue;
    const co::PdoCommunication& c = t.comm;
    if (!co::event_driven(c.transmission_type)) continue;
    if (t.timer_due == 0) t.timer_due = now_ns + c.event_timer * kNsPerMs;  // started unknowing
    const bool timer = t.timer_due >= 0 && now_ns >= t.timer_due;
    if ((t.changed && now_ns >= t.inhibit_until) || timer) send_tpdo(pdo, now_ns, out);
  }
}

std::int64_t Device::pdos_wake_at() const {
  std::int64_t next = -1;
  auto consider = [&next](std::int64_t t) {
    if (t >= 0 && (next < 0 || t < next)) next = t;
  };
  for (int pdo = 1; pdo <= kPdos; ++pdo) {
    const Tpdo& t = tpdo_[pdo - 1];
    if (!may_transmit(pdo) || !co::event_driven(t.comm.transmission_type)) continue;
    if (t.changed) consider(std::max<std::int64_t>(t.inhibit_until, 0));
    consider(t.timer_due);
  }
  return next;
}

void Device::on_sync(std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  if (state_ != NmtState::kOperational) return;
  // Synchronous receive PDOs take effect now, then synchronous transmit PDOs sample.
  for (Rpdo& r : rpdo_) {
    if (!r.pending) continue;
    r.pending = false;
    const auto& slots = r.layout.slots();
    for (std::size_t k = 0; k < slots.size() && k < r.raw.size(); ++k) {
      if (!slots[k].entry.dummy())
        write_process(slots[k].entry.index, slots[k].entry.subindex, r.raw[k]);
    }
  }
  for (int pdo = 1; pdo <= kPdos; ++pdo) {
    Tpdo& t = tpdo_[pdo - 1];
    if (!may_transmit(pdo)) continue;
    const std::uint8_t type = t.comm.transmission_type;
    if (!co::synchronous(type)) continue;
    if (type == co::kSyncAcyclic) {
      if (t.changed) send_tpdo(pdo, now_ns, out);
    } else if (++t.syncs >= type) {
      send_tpdo(pdo, now_ns, out);
    }
  }
}

bool Device::on_rpdo(const CMSG& in, std::int64_t now_ns, std::vector<simdev::TimedFrame>& out) {
  if (state_ != NmtState::kOperational) return false;
  for (int pdo = 1; pdo <= kPdos; ++pdo) {
    Rpdo& r = rpdo_[pdo - 1];
    const co::PdoCommunication& c = r.comm;
    if (!c.valid() || c.extended() || static_cast<std::int32_t>(c.id()) != in.id ||
        r.layout.slots().empty())
      continue;
    const std::size_t len = static_cast<std::size_t>(NTCAN_DLC(in.len));
    std::vector<std::uint64_t> raw(r.layout.slots().size());
    if (!r.layout.unpack(in.data, std::min<std::size_t>(len, 8), raw.data())) {
      // Too short: not processed, and said so.
      if (!mute_) {
        const std::uint8_t error_register =
            static_cast<std::uint8_t>(raw_of(objects_.at({object::kErrorRegister, 0})));
        out.push_back(
            {data_frame(co::emcy_id(id_), {static_cast<std::uint8_t>(kEmcyPdoLength & 0xFF),
                                           static_cast<std::uint8_t>(kEmcyPdoLength >> 8),
                                           error_register, 0, 0, 0, 0, 0}),
             now_ns});
      }
      return true;
    }
    if (co::synchronous(c.transmission_type)) {
      r.raw = std::move(raw);
      r.pending = true;
      return true;
    }
    const auto& slots = r.layout.slots();
    for (std::size_t k = 0; k < slots.size(); ++k) {
      if (!slots[k].entry.dummy())
        write_process(slots[k].entry.index, slots[k].entry.subindex, raw[k]);
    }
    return true;
  }
  return false;
}

}  // namespace canopen
}  // namespace simdev
