// handles.h - open handles: each has its port, the identifiers it enabled and its inbox.
//
// Locks: the handle table has locks of its own, held only to find, add or remove a handle.
// Each handle has one lock for its identifiers, held while an identifier is enabled or
// disabled (the port then updates its net's index), and its inbox one of its own, which the
// transport takes to queue a frame. Neither is held while waiting for frames, neither is
// shared across nets, and no call holds the table lock while a transport connects, sends or
// resolves.
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
#include "inbox.h"
#include "ntcan.h"
#include "transport.h"

namespace ntcan_driver {

struct OpenArgs {
  std::uint32_t flags = 0;
  std::int32_t tx_queue = 0;
  std::int32_t rx_queue = 1;
  std::int32_t tx_timeout_ms = 0;
  std::int32_t rx_timeout_ms = 0;
};

// Aligned to a cache line: handles polled by different threads share no line. What a poll of
// an idle handle reads (closed_, quiet_, the inbox's count) lies in the first line.
//
// The inbox is created before the port, which fills it, and outlives it.
class alignas(64) Handle {
 public:
  Handle(NTCAN_HANDLE id, int net, const OpenArgs& args)
      : id_(id), net_(net), inbox_(static_cast<std::size_t>(args.rx_queue)), args_(args) {}

  NTCAN_HANDLE id() const { return id_; }
  int net() const { return net_; }
  const OpenArgs& args() const { return args_; }
  Inbox& inbox() { return inbox_; }
  // Set once, before the handle is shared. The port serialises its own calls.
  void attach(std::unique_ptr<Port> port) {
    port_ = std::move(port);
    quiet_ = port_->quiet_flag();
  }
  Port& port() { return *port_; }
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // True while the port says a read needs no refresh() first.
  bool quiet() const { return quiet_ != nullptr && quiet_->load(std::memory_order_acquire); }
  // The port's refresh() before a read, skipped while it is quiet.
  int refresh() { return quiet() ? NTCAN_SUCCESS : port_->refresh(); }

  // Enables or disables one identifier (NTCAN_SUCCESS, NTCAN_ID_ALREADY_ENABLED,
  // NTCAN_ID_NOT_ENABLED or NTCAN_INVALID_PARAMETER); the port follows each change.
  int change_id(std::int32_t id, bool enable);
  // Closes the port and the inbox; a reader still waiting returns.
  void close();

 private:
  std::atomic<bool> closed_{false};
  const NTCAN_HANDLE id_;
  const int net_;
  const std::atomic<bool>* quiet_ = nullptr;  // Port::quiet_flag()
  Inbox inbox_;
  std::unique_ptr<Port> port_;
  const OpenArgs args_;
  std::mutex ids_mx_;  // guards ids_ and the port's index entries that follow it
  IdFilter ids_;
};

// Handle numbers count up from 1 and are never given out twice in a process, so a handle
// used after canClose is always recognised. Thread-safe; lookups run side by side.
//
// The handles are spread over shards by number, each with its own lock on its own cache
// line, so that threads polling different handles (a thread per net) do not contend for
// one lock word.
class HandleTable {
 public:
  // A new handle with its inbox; its port is attached by the caller before it is shared.
  std::shared_ptr<Handle> make(int net, const OpenArgs& args);
  // Makes the handle findable.
  void add(const std::shared_ptr<Handle>& h);
  std::shared_ptr<Handle> find(NTCAN_HANDLE h) const;
  // Calls f(Handle*) with the handle (null if unknown) while the table keeps it: no call may
  // close it meanwhile, so f must not wait for anything (a poll, not a read). Returns f's
  // result. Spares the reference count of find().
  template <typename F>
  auto visit(NTCAN_HANDLE h, F&& f) const {
    const Shard& s = shard(h);
    std::shared_lock<std::shared_mutex> lock(s.mx);
    auto it = s.open.find(h);
    return f(it == s.open.end() ? nullptr : it->second.get());
  }
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
