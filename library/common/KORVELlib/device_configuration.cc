// A node's description file on the library's worker thread: loaded and checked, its objects'
// names and types given to the node's process data, a DCF's PDOs written into the device by SDO
// in the order of CiA 301, the mapping read back, and the device started.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "D_korvel.h"
#include "canopen/device_description.h"
#include "canopen/endian.h"
#include "canopen/objects.h"
#include "canopen/pdo.h"
#include "canopen/sdo_abort.h"
#include "korvel_internal.h"
#include "process_data.h"

namespace korvel {

namespace {

namespace co = canopen;
using co::DeviceDescription;
using co::PdoDirection;
using co::PdoSetting;

constexpr const char* kHeading = "D_can::device_file";

std::string hex32(std::uint32_t v) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

std::string counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// True when the file gives a value for object index/subindex.
bool gives(const DeviceDescription& file, std::uint16_t index, std::uint8_t subindex) {
  const co::ObjectEntry* e = file.find(index, subindex);
  return e && e->value().given();
}

// One SDO download of the configuration: the object, its value, and how the log shows it.
struct Write {
  std::uint16_t index;
  std::uint8_t subindex;
  std::uint32_t value;
  int size;  // bytes
  std::string shown;
};

// Writes the PDOs of a file that configures them into a device, each PDO's writes in order.
class Configuration {
 public:
  Configuration(D_can& node, const DeviceDescription& file, std::uint8_t node_id)
      : node_(node), file_(file), node_id_(node_id), base_(node.basename()) {}

  // Writes every configured PDO; false when a transfer could not run at all (no usable line, a
  // driver failure): what is left is not written.
  bool run() {
    for (const PdoSetting& s : file_.pdo_settings(node_id_)) {
      if (!s.configured) continue;
      ++pdos_;
      if (!write_pdo(s)) return false;
    }
    return true;
  }

  std::size_t pdos() const { return pdos_; }
  std::size_t refused() const { return refused_; }
  const std::string& failure() const { return failure_; }

 private:
  enum class Result { kDone, kRefused, kStopped };

  bool write_pdo(const PdoSetting& s) {
    const bool rx = s.direction == PdoDirection::kReceive;
    const int n = static_cast<int>(s.number);
    const std::uint16_t comm =
        rx ? co::object::rpdo_communication(n) : co::object::tpdo_communication(n);
    const std::uint16_t map = rx ? co::object::rpdo_mapping(n) : co::object::tpdo_mapping(n);
    const std::string pdo = co::pdo_name(s.direction, s.number);

    std::uint32_t cob_id = s.communication.cob_id_entry;
    if (!gives(file_, comm, co::kPdoCobIdSub)) {
      // The file changes the PDO but not its identifier: the device's own is disabled and
      // enabled again around the changes.
      const Result r = read_cob_id(pdo, comm, cob_id);
      if (r != Result::kDone) return r == Result::kRefused;
    }
    std::vector<Write> writes;
    writes.push_back(
        {comm, co::kPdoCobIdSub, cob_id | co::kPdoInvalid, 4, hex32(cob_id | co::kPdoInvalid)});
    writes.push_back({map, 0, 0, 1, "0"});
    std::uint8_t sub = 0;
    for (const co::MapEntry& e : s.entries) {
      const std::uint32_t v = co::encode_map_entry(e);
      const co::ObjectEntry* object = file_.find(e.index, e.subindex);
      writes.push_back({map, ++sub, v, 4, hex32(v) + (object ? " " + object->key : "")});
    }
    writes.push_back({map, 0, sub, 1, std::to_string(sub)});
    if (gives(file_, comm, co::kPdoTransmissionTypeSub)) {
      const std::uint8_t type = s.communication.transmission_type;
      writes.push_back({comm, co::kPdoTransmissionTypeSub, type, 1, std::to_string(type)});
    }
    if (!rx && gives(file_, comm, co::kPdoInhibitTimeSub)) {
      const std::uint16_t inhibit = s.communication.inhibit_time;
      writes.push_back({comm, co::kPdoInhibitTimeSub, inhibit, 2, std::to_string(inhibit)});
    }
    if (gives(file_, comm, co::kPdoEventTimerSub)) {
      const std::uint16_t timer = s.communication.event_timer;
      writes.push_back({comm, co::kPdoEventTimerSub, timer, 2, std::to_string(timer)});
    }
    if (!(cob_id & co::kPdoInvalid))
      writes.push_back({comm, co::kPdoCobIdSub, cob_id, 4, hex32(cob_id)});

    for (const Write& w : writes) {
      unsigned char data[4];
      co::put_le(data, static_cast<std::size_t>(w.size), w.value);
      D_can::sdo_outcome outcome;
      const int r = node_.sdo_write(w.index, w.subindex, data, w.size, &outcome);
      const Result result = judge(r, outcome, pdo, w.index, w.subindex, "(" + w.shown + ")");
      if (result == Result::kRefused) return true;  // the rest of this PDO is left
      if (result == Result::kStopped) return false;
    }
    return true;
  }

  Result read_cob_id(const std::string& pdo, std::uint16_t comm, std::uint32_t& cob_id) {
    unsigned char data[4] = {};
    int size = 0;
    D_can::sdo_outcome outcome;
    const int r = node_.sdo_read(comm, co::kPdoCobIdSub, data, sizeof data, &size, &outcome);
    const Result result = judge(r, outcome, pdo, comm, co::kPdoCobIdSub, "read");
    if (result != Result::kDone) return result;
    cob_id = static_cast<std::uint32_t>(co::get_le(data, static_cast<std::size_t>(size)));
    return Result::kDone;
  }

  // What a transfer's result means for the configuration; a refusal or a failure is logged.
  Result judge(int r, const D_can::sdo_outcome& outcome, const std::string& pdo,
               std::uint16_t index, std::uint8_t subindex, const std::string& what) {
    if (r == kOk) return Result::kDone;
    if (r == kFailed) {
      ++refused_;
      log(kHeading, base_ + ": " + pdo + " " + co::object_place(index, subindex) + " " + what +
                        " refused: " + co::sdo_abort_text(outcome.abort_code));
      return Result::kRefused;
    }
    failure_ = status_name(r);
    log(kHeading, base_ + ": configuration not written, " + failure_);
    return Result::kStopped;
  }

  D_can& node_;
  const DeviceDescription& file_;
  std::uint8_t node_id_;
  std::string base_;
  std::size_t pdos_ = 0;
  std::size_t refused_ = 0;
  std::string failure_;
};

// The description of the file at path, parsed once for every node that names it: a plant has
// many devices of one type, and a maker's file of a few thousand objects takes megabytes once
// read. A file changed on disk (its size or modification time) is read again; a description
// lives as long as a node holds it.
std::shared_ptr<const DeviceDescription> shared_description(const std::string& path) {
  struct Cached {
    std::weak_ptr<const DeviceDescription> description;
    struct stat seen;
  };
  static std::mutex mx;
  static std::unordered_map<std::string, Cached> cache;
  struct stat now {};
  const bool exists = ::stat(path.c_str(), &now) == 0;
  std::lock_guard<std::mutex> lk(mx);
  if (exists) {
    auto it = cache.find(path);
    if (it != cache.end() && it->second.seen.st_size == now.st_size &&
        it->second.seen.st_mtim.tv_sec == now.st_mtim.tv_sec &&
        it->second.seen.st_mtim.tv_nsec == now.st_mtim.tv_nsec &&
        it->second.seen.st_ino == now.st_ino) {
      if (auto held = it->second.description.lock()) return held;
    }
  }
  auto file = std::make_shared<const DeviceDescription>(DeviceDescription::load(path));
  if (exists) {
    cache[path] = Cached{file, now};
  } else {
    cache.erase(path);
  }
  return file;
}

// The node's file loaded; null (problems logged) when it is not usable. *note: what the
// condition shows about it.
std::shared_ptr<const DeviceDescription> load_file(const std::string& base, const std::string& path,
                                                   std::string* note) {
  std::shared_ptr<const DeviceDescription> file = shared_description(path);
  for (const co::Problem& p : file->problems()) log(kHeading, base + ": " + co::to_string(p));
  if (file->ok()) return file;
  std::size_t errors = 0;
  for (const co::Problem& p : file->problems()) errors += p.warning ? 0 : 1;
  *note = "description file not used: " + counted(errors, "problem", "problems");
  log(kHeading, base + ": " + path + " not used (" + counted(errors, "problem", "problems") +
                    "), the node runs without a description file");
  return nullptr;
}

}  // namespace

void ProcessData::start_with_file(D_can& node) {
  if (!node.device_file_ || node.device_file_->value().empty()) return;
  LoopLock lk;
  if (!node.pd_) node.pd_ = kept(new ProcessData());
  node.pd_->file_node = true;
  if (node.pd_->pending) return;
  node.pd_->pending = true;
  queue_mapping_read(&node);
}

void ProcessData::refresh(D_can& node) {
  const std::string base = node.basename();
  const std::string path = node.device_file_ ? node.device_file_->path() : std::string();
  std::string note;
  std::shared_ptr<const DeviceDescription> file;
  if (!path.empty()) file = load_file(base, path, &note);
  bool wanted;
  int id;
  {
    LoopLock lk;
    ProcessData& pd = *node.pd_;  // made by whoever queued the node
    pd.file = file;
    if (file) pd.from_device = true;
    wanted = pd.from_device;
    id = node.canIdent_.i2_data;
  }
  if (!wanted) {  // a file not usable, and no mapping asked for without it
    node.condition_note(note);
    LoopLock lk;
    done_reading(node);
    return;
  }
  bool start = false;
  if (file) {
    Configuration c(node, *file, static_cast<std::uint8_t>(id >= 1 && id <= 127 ? id : 0));
    const bool written = c.run();
    if (!written) {
      note = "configuration not written: " + c.failure();
    } else if (c.refused() > 0) {
      note = "configuration: " + counted(c.refused(), "write refused", "writes refused");
    }
    start = written && c.pdos() > 0;
    if (start) {
      const std::string refused =
          c.refused() > 0 ? ", " + counted(c.refused(), "write", "writes") + " refused" : "";
      log(kHeading,
          base + ": " + counted(c.pdos(), "PDO", "PDOs") + " of " + path + " written" + refused);
    }
  }
  std::vector<co::PdoDescription> descs;
  const bool read = read_mapping(node, descs);
  {
    LoopLock lk;
    if (read) apply(node, std::move(descs));
  }
  if (start) {
    const int r = node.start_node();
    if (r != kOk) log(kHeading, base + ": device not started, " + status_name(r));
  }
  node.condition_note(note);
  LoopLock lk;
  done_reading(node);  // last: who waits for the worker sees the start and the condition
}

}  // namespace korvel
