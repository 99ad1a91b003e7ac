// process_data.h - what the library keeps for a node's process data: the property of one mapped
// object, the node's PDOs with their layouts, and the worker that reads mappings by SDO.
#ifndef KORVEL_PROCESS_DATA_H
#define KORVEL_PROCESS_DATA_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen/data_type.h"
#include "canopen/device_description.h"
#include "canopen/pdo_mapping.h"

namespace korvel {

// Periods without its PDO after which an object reads as stale, unless the server sets another.
constexpr int kDefaultStalePeriods = 3;
// Values the history of one mapped object keeps (the latest ones).
constexpr std::size_t kProcessHistory = 64;
// Framework error code of a stale value: get answers the last value with this error, and
// d_error() reads it.
constexpr int kErrStale = 110;
constexpr const char* kStaleText = "stale: its PDO stopped arriving";

// What a transmit PDO brought: its bits (the frame's 8 bytes, little-endian) and their
// history. A PDO updates only this, in one or two cache lines, whatever number of objects it
// carries; the objects' properties read their bits from it. Under D_can::mx_loop.
struct PdoStore {
  struct Entry {
    std::uint64_t bits;
    std::int64_t time_ns;  // wall clock of the batch that brought it
  };
  std::uint64_t bits = 0;
  std::int64_t time_ns = 0;
  std::int64_t last_ms = 0;  // service clock of the last PDO (or of the mapping)
  bool stale = false;
  std::uint32_t next = 0;
  std::uint32_t count = 0;
  std::vector<Entry> ring = std::vector<Entry>(kProcessHistory);

  void store(std::uint64_t b, std::int64_t t) {
    bits = b;
    time_ns = t;
    ring[next] = Entry{b, t};
    if (++next == ring.size()) next = 0;
    if (count < ring.size()) ++count;
  }
  // Entry i of the history, 0 the oldest.
  const Entry& at(std::size_t i) const {
    return ring[(next + ring.size() - count + i) % ring.size()];
  }
};

// The bits of a frame's data as a PDO carries them (byte 0 least significant).
inline std::uint64_t pdo_bits(const std::uint8_t* d) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | d[i];
  return v;
}

// The property of one object of the device. Its value, history and state change under
// D_can::mx_loop (korvel::LoopLock); clients read them under the same lock.
class ProcessValue : public D_fct {
 public:
  struct Sample {
    std::uint64_t raw;
    std::int64_t time_ns;  // wall clock of the batch that brought it
  };

  ProcessValue(const std::string& name, EqFct* loc, D_can* node, int index, int subindex,
               canopen::ValueType type);

  using D_fct::data_type;
  // The value (in its type: INT for booleans, INT64, UINT64 for 64-bit unsigned, DOUBLE for
  // reals); with an event or time selector (as the integer property takes), the value of the
  // history entry at or before that time. A stale value comes with kErrStale.
  int get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  // Writes the object on the device (D_can::write_object); the error text reaches the writer.
  int set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  int data_type() const override;
  int d_error() const override;
  using D_fct::d_error;

  // Under mx_loop. update: a value written to the device; bind: the value comes from the
  // transmit PDO of `store`, at bit `offset` (null: from the last value written or read).
  void update(std::uint64_t raw, std::int64_t time_ns);
  void bind(const PdoStore* store, unsigned offset);
  void set_stale(bool stale) { stale_ = stale; }
  bool stale() const { return stale_; }
  std::uint64_t raw() const { return source_ ? slot_of(source_->bits) : raw_; }
  const canopen::ValueType& type() const { return type_; }
  void retype(const canopen::ValueType& t) { type_ = t; }
  void detach_node() { node_ = nullptr; }
  // The history, oldest first (takes the lock).
  std::vector<Sample> history() const;

  // The value of raw bits of type t as framework data.
  static void to_data(const canopen::ValueType& t, std::uint64_t raw, EqData& out);
  // The bits of type t that carry the data's value; false for data that is no number.
  static bool from_data(const canopen::ValueType& t, const EqData& in, std::uint64_t& raw);

 private:
  std::uint64_t slot_of(std::uint64_t bits) const {
    const std::uint64_t v = bits >> offset_;
    return type_.bits >= 64 ? v : v & ((std::uint64_t{1} << type_.bits) - 1);
  }
  // The samples of the history, oldest first.
  std::size_t samples() const;
  Sample sample(std::size_t i) const;

  D_can* node_;
  const PdoStore* source_ = nullptr;
  unsigned offset_ = 0;
  int index_;
  int subindex_;
  canopen::ValueType type_;
  std::uint64_t raw_ = 0;
  std::int64_t time_ns_ = 0;
  bool stale_ = false;
  std::vector<Sample> ring_;  // values written: kProcessHistory entries once one was
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

// One PDO of the node as the library uses it.
struct PdoRun {
  canopen::PdoDescription desc;
  std::vector<ProcessValue*> values;  // one per slot; null for dummy entries
  std::vector<std::uint64_t> raw;     // receive PDOs: the values sent next
  PdoStore* store = nullptr;          // transmit PDOs: what the last one brought
};

using ObjectKey = std::pair<int, int>;  // index, subindex

struct ProcessData {
  // Identifiers of the transmit PDOs, in the order of tpdos, for the per-frame search.
  // What the per-frame search needs, side by side: identifier, bytes the mapping needs, store.
  std::int32_t tpdo_ids[canopen::kDefaultPdos] = {};
  std::size_t tpdo_bytes[canopen::kDefaultPdos] = {};
  PdoStore* tpdo_stores[canopen::kDefaultPdos] = {};
  std::size_t tpdo_count = 0;
  std::vector<PdoRun> tpdos;
  std::vector<PdoRun> rpdos;
  std::map<ObjectKey, std::string> names;
  std::map<ObjectKey, canopen::ValueType> sdo_types;  // objects named with a type
  std::map<ObjectKey, ProcessValue*> values;          // kept for the process, reused
  PdoStore* stores[canopen::kDefaultPdos] = {};       // of TPDO 1-4, kept for the process
  std::uint64_t short_pdos = 0;
  bool short_logged = false;
  int stale_periods = kDefaultStalePeriods;
  bool from_device = false;  // read by init_process_data: read again after a boot-up
  bool pending = false;      // queued on the worker or being read
  // The node started with a description-file setting: its file is loaded again after a boot-up.
  bool file_node = false;
  // The node's description file while it is usable, else null: set by the worker, read by
  // server threads (names, find_object), both under mx_loop. A description is never changed
  // once loaded: each load makes a new one that replaces it.
  std::shared_ptr<const canopen::DeviceDescription> file;

  // Under mx_loop: makes the PDOs of descriptions the node's process data.
  static void apply(D_can& node, std::vector<canopen::PdoDescription> descs);
  // Under mx_loop: the worker is through with the node's mapping.
  static void done_reading(D_can& node) {
    if (node.pd_) node.pd_->pending = false;
  }
  // Under mx_loop: a master whose setting names a description file has it loaded on the worker
  // (device_configuration.cc); nothing for a node without one.
  static void start_with_file(D_can& node);
  // The worker's task for one node (blocking, not under mx_loop): its description file loaded
  // when the node names one, the device configured from a DCF, the mapping read and made the
  // node's process data, the device started after a configuration.
  static void refresh(D_can& node);
};

// The worker that reads mappings by SDO: queue_mapping_read returns at once; the node must
// call forget_mapping_read before it goes away (waits while its mapping is being read).
void queue_mapping_read(D_can* node);
void forget_mapping_read(D_can* node);
// Reads the node's eight PDOs by SDO (blocking; not under mx_loop); false when the node's line
// was not usable (nothing read).
bool read_mapping(D_can& node, std::vector<canopen::PdoDescription>& out);

}  // namespace korvel

#endif  // KORVEL_PROCESS_DATA_H
