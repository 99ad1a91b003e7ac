// handles.h - open handles: each has its port, its identifier filter and its receive queue.
//
// Locks: the handle table has locks of its own, held only to find, add or remove a handle.
// Each handle has one lock for its filter and queue, held while frames move from the port
// into the queue; it is never held while waiting for frames. Neither lock is shared across
// nets, and no call holds the table lock while a transport connects, sends or resolves.
#ifndef NTCAN_HANDLES_H
#define NTCAN_HANDLES_H

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "id_filter.h"
#include "ntcan.h"
#include "rx_queue.h"
#include "transport.h"

namespace ntcan_driver {

struct OpenArgs {
  std::uint32_t flags = 0;
  std::int32_t tx_queue = 0;
  std::int32_t rx_queue = 1;
  std::int32_t tx_timeout_ms = 0;
  std::int32_t rx_timeout_ms = 0;
};

// Aligned to a cache line: handles polled by different threads share no line.
class alignas(64) Handle {
 public:
  Handle(NTCAN_HANDLE id, int net, const OpenArgs& args, std::unique_ptr<Port> port)
      : id_(id),
        net_(net),
        args_(args),
        port_(std::move(port)),
        queue_(static_cast<std::size_t>(args.rx_queue)) {}

  NTCAN_HANDLE id() const { return id_; }
  int net() const { return net_; }
  const OpenArgs& args() const { return args_; }
  // The port serialises its own calls; usable without the handle's lock.
  Port& port() { return *port_; }
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  // Guards filter(), queue() and fetch().
  std::mutex& mx() { return mx_; }
  IdFilter& filter() { return filter_; }
  RxQueue& queue() { return queue_; }

  // With mx() held: pulls what the port received through the filter into the queue. Returns
  // the port's status: a transport whose connection is lost fails here.
  int fetch();
  // Closes the port; a reader still waiting on it returns. Takes mx() itself.
  void close();

 private:
  const NTCAN_HANDLE id_;
  const int net_;
  const OpenArgs args_;
  const std::unique_ptr<Port> port_;
  std::mutex mx_;
  IdFilter filter_;
  RxQueue queue_;
  std::vector<CMSG> incoming_;  // reused by fetch(): taking frames allocates nothing
  std::atomic<bool> closed_{false};
};

// Handle numbers count up from 1 and are never given out twice in a process, so a handle
// used after canClose is always recognised. Thread-safe; lookups run side by side.
//
// The handles are spread over shards by number, each with its own lock on its own cache
// line, so that threads polling different handles (a thread per net) do not contend for
// one lock word.
class HandleTable {
 public:
  std::shared_ptr<Handle> add(int net, const OpenArgs& args, std::unique_ptr<Port> port);
  std::shared_ptr<Handle> find(NTCAN_HANDLE h) const;
  // Removes and returns the handle (null if unknown).
  std::shared_ptr<Handle> remove(NTCAN_HANDLE h);
  std::vector<std::shared_ptr<Handle>> on_net(int net) const;
  // Removes and returns them all.
  std::vector<std::shared_ptr<Handle>> remove_all();

 private:
  static constexpr std::size_t kShards = 64;
  struct alignas(64) Shard {
    mutable std::shared_mutex mx;
    std::unordered_map<NTCAN_HANDLE, std::shared_ptr<Handle>> open;  // one hash per lookup
  };
  Shard& shard(NTCAN_HANDLE h) { return shards_[static_cast<std::size_t>(h) % kShards]; }
  const Shard& shard(NTCAN_HANDLE h) const {
    return shards_[static_cast<std::size_t>(h) % kShards];
  }

  std::atomic<NTCAN_HANDLE> next_{1};
  std::array<Shard, kShards> shards_;
};

}  // namespace ntcan_driver

#endif  // NTCAN_HANDLES_H
