// process_data.h - what the library keeps for a node's process data: the property of one mapped
// object, the node's PDOs with their layouts, and the worker that reads mappings by SDO.
#ifndef KORVEL_PROCESS_DATA_H
#define KORVEL_PROCESS_DATA_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen/data_type.h"
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

  // Under mx_loop.
  void update(std::uint64_t raw, std::int64_t time_ns);
  void set_stale(bool stale) { stale_ = stale; }
  bool stale() const { return stale_; }
  std::uint64_t raw() const { return raw_; }
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
  D_can* node_;
  int index_;
  int subindex_;
  canopen::ValueType type_;
  std::uint64_t raw_ = 0;
  std::int64_t time_ns_ = 0;
  bool stale_ = false;
  std::vector<Sample> ring_;  // kProcessHistory entries, filled round
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

// One PDO of the node as the library uses it.
struct PdoRun {
  canopen::PdoDescription desc;
  std::vector<ProcessValue*> values;  // one per slot; null for dummy entries
  std::vector<std::uint64_t> raw;     // receive PDOs: the values sent next
  std::int64_t last_ms = 0;           // service clock of the last PDO (or of the mapping)
  bool stale = false;
};

using ObjectKey = std::pair<int, int>;  // index, subindex

struct ProcessData {
  // Identifiers of the transmit PDOs, in the order of tpdos, for the per-frame search.
  std::int32_t tpdo_ids[canopen::kDefaultPdos] = {};
  std::size_t tpdo_count = 0;
  std::vector<PdoRun> tpdos;
  std::vector<PdoRun> rpdos;
  std::map<ObjectKey, std::string> names;
  std::map<ObjectKey, canopen::ValueType> sdo_types;  // objects named with a type
  std::map<ObjectKey, ProcessValue*> values;          // kept for the process, reused
  std::uint64_t short_pdos = 0;
  bool short_logged = false;
  int stale_periods = kDefaultStalePeriods;
  bool from_device = false;  // read by init_process_data: read again after a boot-up
  bool pending = false;      // queued on the worker or being read

  // Under mx_loop: makes the PDOs of descriptions the node's process data.
  static void apply(D_can& node, std::vector<canopen::PdoDescription> descs);
  // Under mx_loop: the worker is through with the node's mapping.
  static void done_reading(D_can& node) {
    if (node.pd_) node.pd_->pending = false;
  }
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
