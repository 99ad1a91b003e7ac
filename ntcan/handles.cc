// handles.cc - handle table and the filter/queue path of received frames.
#include "handles.h"

namespace ntcan_driver {

int Handle::fetch() {
  if (closed()) return NTCAN_SUCCESS;
  incoming_.clear();
  std::uint64_t lost = 0;
  const int status = port_->take(incoming_, lost);
  queue_.count_lost(lost);
  for (const CMSG& m : incoming_) {
    if (filter_.accepts(m.id)) queue_.push(m);
  }
  incoming_.clear();
  return status;
}

void Handle::close() {
  if (closed_.exchange(true, std::memory_order_acq_rel)) return;
  port_->close();  // wakes a reader waiting on the port without the handle's lock
  std::lock_guard<std::mutex> lock(mx_);
  queue_.clear();
}

std::shared_ptr<Handle> HandleTable::add(int net, const OpenArgs& args,
                                         std::unique_ptr<Port> port) {
  auto h = std::make_shared<Handle>(next_.fetch_add(1, std::memory_order_relaxed), net, args,
                                    std::move(port));
  Shard& s = shard(h->id());
  std::unique_lock<std::shared_mutex> lock(s.mx);
  s.open.emplace(h->id(), h);
  return h;
}

std::shared_ptr<Handle> HandleTable::find(NTCAN_HANDLE h) const {
  const Shard& s = shard(h);
  std::shared_lock<std::shared_mutex> lock(s.mx);
  auto it = s.open.find(h);
  return it == s.open.end() ? nullptr : it->second;
}

std::shared_ptr<Handle> HandleTable::remove(NTCAN_HANDLE h) {
  Shard& s = shard(h);
  std::unique_lock<std::shared_mutex> lock(s.mx);
  auto it = s.open.find(h);
  if (it == s.open.end()) return nullptr;
  auto handle = std::move(it->second);
  s.open.erase(it);
  return handle;
}

std::vector<std::shared_ptr<Handle>> HandleTable::on_net(int net) const {
  std::vector<std::shared_ptr<Handle>> out;
  for (const Shard& s : shards_) {
    std::shared_lock<std::shared_mutex> lock(s.mx);
    for (const auto& [id, h] : s.open) {
      if (h->net() == net) out.push_back(h);
    }
  }
  return out;
}

std::vector<std::shared_ptr<Handle>> HandleTable::remove_all() {
  std::vector<std::shared_ptr<Handle>> out;
  for (Shard& s : shards_) {
    std::unique_lock<std::shared_mutex> lock(s.mx);
    for (auto& [id, h] : s.open) out.push_back(std::move(h));
    s.open.clear();
  }
  return out;
}

}  // namespace ntcan_driver
