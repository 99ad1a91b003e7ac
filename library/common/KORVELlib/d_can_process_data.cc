// Process data of a node: the PDOs given in code or read from the device, one property per
// mapped object, the decoding of each batch's transmit PDOs, writes by receive PDO or SDO, and
// objects shown stale when their PDO stops arriving.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen/endian.h"
#include "canopen/sdo_abort.h"
#include "korvel_internal.h"
#include "process_data.h"

namespace korvel {

using canopen::PdoDescription;
using canopen::PdoDirection;
using canopen::ValueType;

namespace {

constexpr const char* kHeading = "D_can::process_data";

// "6000SUB1": the default name of an object's property after the node's name.
std::string object_name(int index, int subindex) {
  char text[24];
  std::snprintf(text, sizeof text, "%04XSUB%d", index & 0xFFFF, subindex & 0xFF);
  return text;
}

bool value_type_of(const D_can::pd_object& o, ValueType& t) {
  if (o.bits < 1 || o.bits > 64) return false;
  t.bits = static_cast<unsigned>(o.bits);
  switch (o.kind) {
    case D_can::pd_kind::unsigned_int:
      t.kind = ValueType::Kind::kUnsigned;
      return true;
    case D_can::pd_kind::signed_int:
      t.kind = ValueType::Kind::kSigned;
      return true;
    case D_can::pd_kind::boolean:
      t.kind = ValueType::Kind::kBoolean;
      return o.bits == 1;
    case D_can::pd_kind::real:
      t.kind = ValueType::Kind::kReal;
      return o.bits == 32 || o.bits == 64;
  }
  return false;
}

// A PDO given in code as a description; false (logged) when it cannot be one.
bool describe(const std::string& node, PdoDirection dir, unsigned number, const D_can::pd_pdo& p,
              PdoDescription& d) {
  d.direction = dir;
  d.number = number;
  d.communication.cob_id_entry = p.cob_id & canopen::kPdoIdMask;
  d.communication.transmission_type = static_cast<std::uint8_t>(p.transmission_type);
  d.communication.event_timer = static_cast<std::uint16_t>(p.event_timer_ms);
  const std::string name = node + ": " + canopen::pdo_name(dir, number) + " ";
  if (p.cob_id == 0 || p.cob_id > 0x7FF || p.transmission_type < 0 || p.transmission_type > 255 ||
      p.event_timer_ms < 0 || p.event_timer_ms > 0xFFFF) {
    log(kHeading, name + "left out: identifier, transmission type or event timer out of range");
    return false;
  }
  std::vector<canopen::MapEntry> entries;
  std::vector<ValueType> types;
  for (const D_can::pd_object& o : p.objects) {
    ValueType t;
    if (o.index < 0 || o.index > 0xFFFF || o.subindex < 0 || o.subindex > 0xFF ||
        !value_type_of(o, t)) {
      log(kHeading, name + "left out: object " + object_name(o.index, o.subindex) +
                        " has no usable index, length or type");
      return false;
    }
    entries.push_back({static_cast<std::uint16_t>(o.index), static_cast<std::uint8_t>(o.subindex),
                       static_cast<std::uint8_t>(o.bits)});
    types.push_back(t);
  }
  const canopen::MappingProblem problem = canopen::PdoLayout::make(entries, types, d.layout);
  if (problem != canopen::MappingProblem::kNone) {
    log(kHeading, name + "left out: " + canopen::mapping_problem_text(problem));
    return false;
  }
  d.usable = !entries.empty();
  return true;
}

// Expected time between two PDOs of p, in ms of the service clock; 0 when none can be told.
std::int64_t expected_period(const PdoRun& p, const canline* line) {
  const std::uint8_t type = p.desc.communication.transmission_type;
  if (canopen::synchronous(type)) {
    const int sync = line ? line->sync_period_ms() : 0;
    return static_cast<std::int64_t>(sync) * (type == 0 ? 1 : type);
  }
  if (canopen::event_driven(type)) return p.desc.communication.event_timer;
  return 0;
}

std::int64_t wall_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The object of the node's description file at index/subindex, or null (also for a whole
// ARRAY or RECORD).
const canopen::ObjectEntry* file_object(const ProcessData& pd, const ObjectKey& key) {
  if (!pd.file) return nullptr;
  const canopen::ObjectEntry* e =
      pd.file->find(static_cast<std::uint16_t>(key.first), static_cast<std::uint8_t>(key.second));
  return e && !e->is_parent() ? e : nullptr;
}

// The type an object reads as by name: as name_object gave it, else as the description file's
// DataType has it; false when neither gives one.
bool named_type(const ProcessData& pd, const ObjectKey& key, ValueType& t) {
  const auto named = pd.sdo_types.find(key);
  if (named != pd.sdo_types.end()) {
    t = named->second;
    return true;
  }
  const canopen::ObjectEntry* e = file_object(pd, key);
  return e && canopen::known_data_type(e->data_type) &&
         canopen::value_type_of(static_cast<canopen::DataType>(e->data_type), t);
}

// Objects named with a type (name_object, or the description file) read as that type wherever
// a mapping, which gives only lengths when it was read from the device, carries them with the
// same length.
void retype_named(const ProcessData& pd, canopen::PdoLayout& layout) {
  if (pd.sdo_types.empty() && !pd.file) return;
  std::vector<canopen::MapEntry> entries;
  std::vector<ValueType> types;
  bool changed = false;
  for (const canopen::PdoLayout::Slot& s : layout.slots()) {
    ValueType t = s.type;
    ValueType named;
    if (!s.entry.dummy() && named_type(pd, {s.entry.index, s.entry.subindex}, named) &&
        named.bits == s.entry.bits && !(named == t)) {
      t = named;
      changed = true;
    }
    entries.push_back(s.entry);
    types.push_back(t);
  }
  canopen::PdoLayout typed;
  if (changed && canopen::PdoLayout::make(entries, types, typed) == canopen::MappingProblem::kNone)
    layout = std::move(typed);
}

}  // namespace

void ProcessData::apply(D_can& node, std::vector<PdoDescription> descs) {
  if (!node.pd_) node.pd_ = kept(new ProcessData());
  ProcessData& pd = *node.pd_;
  for (auto& kv : pd.values) {
    kv.second->set_stale(false);
    kv.second->bind(nullptr, 0);
  }
  pd.tpdos.clear();
  pd.rpdos.clear();
  pd.tpdo_count = 0;
  pd.short_logged = false;
  const std::string base = node.basename();
  const std::int64_t now = monotonic_ms();
  for (PdoDescription& d : descs) {
    if (!d.usable) continue;
    PdoRun run;
    run.desc = std::move(d);
    retype_named(pd, run.desc.layout);
    for (const canopen::PdoLayout::Slot& s : run.desc.layout.slots()) {
      ProcessValue* v = nullptr;
      if (!s.entry.dummy()) {
        const ObjectKey key{s.entry.index, s.entry.subindex};
        auto found = pd.values.find(key);
        if (found == pd.values.end()) {
          const auto named = pd.names.find(key);
          std::string prop = base + "." + object_name(key.first, key.second);
          if (named != pd.names.end()) {
            prop = base + "." + named->second;
          } else if (const canopen::ObjectEntry* e = file_object(pd, key)) {
            // The file's key, unless the location has a property of that name already.
            const std::string by_key = base + "." + e->key;
            if (!node.efp_ || !node.efp_->find_property(by_key)) prop = by_key;
          }
          v = kept(new ProcessValue(prop + " process data", node.efp_, &node, key.first, key.second,
                                    s.type));
          pd.values.emplace(key, v);
        } else {
          v = found->second;
          v->retype(s.type);
        }
      }
      run.values.push_back(v);
      run.raw.push_back(v ? v->raw() : 0);
    }
    if (run.desc.direction == PdoDirection::kTransmit) {
      PdoStore*& store = pd.stores[run.desc.number - 1];
      if (!store) store = kept(new PdoStore());
      *store = PdoStore();  // a new mapping starts a new history
      store->last_ms = now;
      run.store = store;
      for (std::size_t i = 0; i < run.values.size(); ++i) {
        if (run.values[i]) run.values[i]->bind(store, run.desc.layout.slots()[i].offset);
      }
      if (pd.tpdo_count < canopen::kDefaultPdos) {
        pd.tpdo_ids[pd.tpdo_count] = static_cast<std::int32_t>(run.desc.communication.id());
        pd.tpdo_bytes[pd.tpdo_count] = run.desc.layout.bytes();
        pd.tpdo_stores[pd.tpdo_count++] = store;
      }
      pd.tpdos.push_back(std::move(run));
    } else {
      pd.rpdos.push_back(std::move(run));
    }
  }
  char text[160];
  std::snprintf(text, sizeof text, "%s: process data of %zu transmit and %zu receive PDOs",
                base.c_str(), pd.tpdos.size(), pd.rpdos.size());
  log(kHeading, text);
}

}  // namespace korvel

using korvel::LoopLock;
using korvel::ProcessData;
using korvel::ProcessValue;

int D_can::set_process_data(const std::vector<pd_pdo>& tpdos, const std::vector<pd_pdo>& rpdos) {
  const std::string base = basename();
  std::vector<korvel::canopen::PdoDescription> descs;
  bool all = tpdos.size() <= 4 && rpdos.size() <= 4;
  if (!all)
    korvel::log("D_can::process_data", base + ": more than 4 PDOs in a direction; " +
                                           "those after the fourth are left out");
  for (std::size_t i = 0; i < tpdos.size() && i < 4; ++i) {
    descs.emplace_back();
    all &= korvel::describe(base, korvel::canopen::PdoDirection::kTransmit,
                            static_cast<unsigned>(i + 1), tpdos[i], descs.back());
  }
  for (std::size_t i = 0; i < rpdos.size() && i < 4; ++i) {
    descs.emplace_back();
    all &= korvel::describe(base, korvel::canopen::PdoDirection::kReceive,
                            static_cast<unsigned>(i + 1), rpdos[i], descs.back());
  }
  LoopLock lk;
  ProcessData::apply(*this, std::move(descs));
  pd_->from_device = false;
  return all ? korvel::kOk : korvel::kFailed;
}

int D_can::init_process_data() {
  {
    LoopLock lk;
    if (!pd_) pd_ = korvel::kept(new ProcessData());
    pd_->from_device = true;
    if (pd_->pending) return korvel::kOk;
    pd_->pending = true;
  }
  korvel::queue_mapping_read(this);
  return korvel::kOk;
}

bool D_can::process_data_pending() const {
  LoopLock lk;
  return pd_ && pd_->pending;
}

int D_can::name_object(int index, int subindex, const std::string& name, int bits, pd_kind kind) {
  if (index < 1 || index > 0xFFFF || subindex < 0 || subindex > 0xFF || name.empty() ||
      name.find(' ') != std::string::npos)
    return korvel::kFailed;
  korvel::canopen::ValueType type;
  if (bits != 0 && !korvel::value_type_of(pd_object{index, subindex, bits, kind}, type))
    return korvel::kFailed;
  LoopLock lk;
  if (!pd_) pd_ = korvel::kept(new ProcessData());
  const korvel::ObjectKey key{index, subindex};
  for (const auto& kv : pd_->names) {
    if (kv.second == name && kv.first != key) return korvel::kFailed;
  }
  // A property keeps the name it was created with.
  const auto existing = pd_->values.find(key);
  if (existing != pd_->values.end() && existing->second->basename() != basename() + "." + name)
    return korvel::kFailed;
  pd_->names[key] = name;
  if (bits != 0) {
    pd_->sdo_types[key] = type;
    if (pd_->values.find(key) == pd_->values.end()) {
      pd_->values.emplace(
          key, korvel::kept(new ProcessValue(basename() + "." + name + " process data", efp_, this,
                                             index, subindex, type)));
    }
  }
  return korvel::kOk;
}

D_fct* D_can::process_property(int index, int subindex) const {
  LoopLock lk;
  if (!pd_) return nullptr;
  const auto found = pd_->values.find({index, subindex});
  return found == pd_->values.end() ? nullptr : found->second;
}

int D_can::set_stale_periods(int periods) {
  if (periods < 1) return korvel::kFailed;
  LoopLock lk;
  if (!pd_) pd_ = korvel::kept(new ProcessData());
  pd_->stale_periods = periods;
  return korvel::kOk;
}

std::uint64_t D_can::short_pdos() const {
  LoopLock lk;
  return pd_ ? pd_->short_pdos : 0;
}

int D_can::produce_sync(int period_ms, int overflow) {
  canline* line = pline_;
  return line ? line->produce_sync(period_ms, overflow) : korvel::kNoUsableLine;
}

int D_can::write_object(int index, int subindex, const EqData& value, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  korvel::canopen::ValueType type;
  {
    LoopLock lk;
    if (!pd_) {
      *error = "no process data";
      return korvel::kFailed;
    }
    for (korvel::PdoRun& p : pd_->rpdos) {
      const auto& slots = p.desc.layout.slots();
      std::size_t i = 0;
      while (i < slots.size() &&
             (slots[i].entry.index != index || slots[i].entry.subindex != subindex))
        ++i;
      if (i == slots.size()) continue;
      std::uint64_t raw;
      if (!ProcessValue::from_data(slots[i].type, value, raw)) {
        *error = "not a number";
        return ERR_ILLEGAL_DATA;
      }
      p.raw[i] = raw;
      unsigned char data[8];
      const std::size_t len = p.desc.layout.pack(p.raw.data(), data);
      const int r =
          can_write(static_cast<int>(p.desc.communication.id()), static_cast<int>(len), data);
      if (r != 0) {
        *error = "PDO not sent: " + korvel::status_name(r);
        return r;
      }
      if (p.values[i]) p.values[i]->update(raw, korvel::wall_ns());
      return korvel::kOk;
    }
    const auto found = pd_->sdo_types.find({index, subindex});
    if (found == pd_->sdo_types.end()) {
      const auto v = pd_->values.find({index, subindex});
      if (v == pd_->values.end()) {
        *error = "no such object in the process data";
        return korvel::kFailed;
      }
      type = v->second->type();
    } else {
      type = found->second;
    }
  }
  std::uint64_t raw;
  if (!ProcessValue::from_data(type, value, raw)) {
    *error = "not a number";
    return ERR_ILLEGAL_DATA;
  }
  unsigned char data[8];
  const int size = static_cast<int>((type.bits + 7) / 8);
  korvel::canopen::put_le(data, static_cast<std::size_t>(size), raw);
  sdo_outcome outcome;
  const int r = sdo_write(index, subindex, data, size, &outcome);
  if (r == korvel::kOk) {
    LoopLock lk;
    const auto v = pd_->values.find({index, subindex});
    if (v != pd_->values.end()) v->second->update(raw, korvel::wall_ns());
    return r;
  }
  if (r == korvel::kFailed) {
    *error = std::string(outcome.by_device ? "the device aborted: " : "aborted: ") +
             korvel::canopen::sdo_abort_text(outcome.abort_code);
  } else {
    *error = "not written: " + korvel::status_name(r);
  }
  return r;
}

void D_can::forget_process_data() {
  korvel::forget_mapping_read(this);
  LoopLock lk;
  if (!pd_) return;
  for (auto& kv : pd_->values) {
    kv.second->detach_node();
    kv.second->bind(nullptr, 0);
  }
  pd_->tpdos.clear();
  pd_->rpdos.clear();
  pd_->tpdo_count = 0;
}

// Under mx_loop, after the node's fill: every transmit PDO of the batch updates its objects;
// a boot-up of the device has its mapping read again; objects whose PDO stopped are stale.
// *now_ms: the service clock of this pass of can_looping, read when first needed (-1 before).
void D_can::process_batch(std::int64_t* now_ms) {
  ProcessData& pd = *pd_;
  if (!rxmsg_ || !rxmsg_len_) return;
  const int n = std::min(std::max(*rxmsg_len_, 0), korvel::kRxCapacity);
  const std::int32_t boot_id = korvel::canopen::error_control_id(canIdent_.i2_data);
  std::int64_t batch_ns = 0;
  bool reread = false;
  for (int f = 0; f < n; ++f) {
    const CMSG& m = rxmsg_[f];
    std::size_t k = 0;
    while (k < pd.tpdo_count && pd.tpdo_ids[k] != m.id) ++k;
    if (k == pd.tpdo_count) {
      if (m.id == boot_id && m.len == 1 && m.data[0] == 0 && (pd.from_device || pd.file_node))
        reread = true;
      continue;
    }
    if (m.len & NTCAN_RTR) continue;  // a request for the PDO, not the PDO
    const auto len = static_cast<std::size_t>(korvel::data_length(m));
    if (len < pd.tpdo_bytes[k]) {
      const korvel::PdoRun& p = pd.tpdos[k];
      ++pd.short_pdos;
      if (!pd.short_logged) {
        pd.short_logged = true;
        char text[200];
        std::snprintf(text, sizeof text,
                      "%s: %s (0x%03X) of %zu bytes, its mapping needs %zu: nothing updated "
                      "(further short PDOs are counted until a good one arrives)",
                      basename().c_str(),
                      korvel::canopen::pdo_name(p.desc.direction, p.desc.number).c_str(),
                      static_cast<unsigned>(m.id), len, p.desc.layout.bytes());
        korvel::log("D_can::process_data", text);
      }
      continue;
    }
    pd.short_logged = false;
    if (batch_ns == 0) batch_ns = korvel::wall_ns();
    if (*now_ms < 0) *now_ms = korvel::monotonic_ms();
    korvel::PdoStore& store = *pd.tpdo_stores[k];
    store.store(korvel::pdo_bits(m.data), batch_ns);
    store.last_ms = *now_ms;
    if (store.stale) {
      store.stale = false;
      const korvel::PdoRun& p = pd.tpdos[k];
      for (ProcessValue* v : p.values) {
        if (v) v->set_stale(false);
      }
      korvel::log("D_can::process_data",
                  basename() + ": " + korvel::canopen::pdo_name(p.desc.direction, p.desc.number) +
                      " arrives again");
    }
  }
  // Staleness: looked at once per pass of the node.
  for (korvel::PdoRun& p : pd.tpdos) {
    if (p.store->stale) continue;
    const std::int64_t period = korvel::expected_period(p, pline_);
    if (period <= 0) continue;
    if (*now_ms < 0) *now_ms = korvel::monotonic_ms();
    if (*now_ms - p.store->last_ms <= period * pd.stale_periods) continue;
    p.store->stale = true;
    for (ProcessValue* v : p.values) {
      if (v) v->set_stale(true);
    }
    korvel::log("D_can::process_data",
                basename() + ": " + korvel::canopen::pdo_name(p.desc.direction, p.desc.number) +
                    " stale, none for " + std::to_string(pd.stale_periods) + " periods of " +
                    std::to_string(period) + " ms");
  }
  if (reread && !pd.pending) {
    pd.pending = true;
    korvel::log("D_can::process_data",
                basename() + ": the device booted, its mapping is read again");
    korvel::queue_mapping_read(this);
  }
}
