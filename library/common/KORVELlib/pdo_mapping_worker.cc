// The reading of devices' PDO mappings by SDO on a worker thread of the library: the SDO waits
// never block the server's thread or can_looping, and the result becomes the node's process data
// under the polling lock.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "korvel_internal.h"
#include "process_data.h"

namespace korvel {

namespace {

class MappingWorker {
 public:
  // Ends the thread (a read in progress finishes first); queued reads are dropped.
  void stop() {
    {
      std::lock_guard<std::mutex> lk(mx_);
      stop_ = true;
      queue_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void queue(D_can* node) {
    std::lock_guard<std::mutex> lk(mx_);
    if (stop_) return;
    if (std::find(queue_.begin(), queue_.end(), node) == queue_.end()) queue_.push_back(node);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    cv_.notify_all();
  }

  void forget(D_can* node) {
    std::unique_lock<std::mutex> lk(mx_);
    queue_.erase(std::remove(queue_.begin(), queue_.end(), node), queue_.end());
    cv_.wait(lk, [&] { return busy_ != node; });
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lk(mx_);
    for (;;) {
      cv_.wait(lk, [&] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      D_can* node = queue_.front();
      queue_.pop_front();
      busy_ = node;
      lk.unlock();
      ProcessData::refresh(*node);
      lk.lock();
      busy_ = nullptr;
      cv_.notify_all();
    }
  }

  std::mutex mx_;
  std::condition_variable cv_;
  std::deque<D_can*> queue_;
  D_can* busy_ = nullptr;
  bool stop_ = false;
  std::thread thread_;
};

// The worker lives for the process, as nodes may still be destroyed while it exits; its thread
// is stopped and joined at exit, before the driver goes away.
struct Stopper {
  MappingWorker* worker;
  ~Stopper() { worker->stop(); }
};

MappingWorker& worker() {
  static auto* w = new MappingWorker();
  static Stopper stopper{w};
  return *w;
}

}  // namespace

void queue_mapping_read(D_can* node) { worker().queue(node); }
void forget_mapping_read(D_can* node) { worker().forget(node); }

bool read_mapping(D_can& node, std::vector<canopen::PdoDescription>& out) {
  const std::string base = node.basename();
  for (const auto dir : {canopen::PdoDirection::kTransmit, canopen::PdoDirection::kReceive}) {
    for (unsigned number = 1; number <= canopen::kDefaultPdos; ++number) {
      canopen::PdoMappingReader reader(dir, number);
      canopen::PdoMappingReader::Request r;
      while (reader.next(r)) {
        unsigned char buf[8];
        int size = 0;
        D_can::sdo_outcome outcome;
        const int result = node.sdo_read(r.index, r.subindex, buf, sizeof buf, &size, &outcome);
        if (result == kOk) {
          reader.take(buf, static_cast<std::size_t>(size));
        } else if (result == kFailed) {
          reader.take_abort(outcome.abort_code);
        } else {
          log("D_can::process_data",
              base + ": mapping not read, " + status_name(result) + "; no process data");
          return false;
        }
      }
      for (const std::string& p : reader.problems()) log("D_can::process_data", base + ": " + p);
      out.push_back(reader.description());
    }
  }
  return true;
}

}  // namespace korvel
