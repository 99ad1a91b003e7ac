// handles.cc - handle table and each handle's identifiers.
#include "handles.h"

namespace ntcan_driver {

int Handle::change_id(std::int32_t id, bool enable) {
  std::lock_guard<std::mutex> lock(ids_mx_);
  if (closed()) return NTCAN_SUCCESS;  // closed under the caller: nothing to follow any more
  const int status = enable ? ids_.enable(id) : ids_.disable(id);
  if (status == NTCAN_SUCCESS) port_->id_enabled(id, enable);
  return status;
}

void Handle::close() {
  if (closed_.exchange(true, std::memory_order_acq_rel)) return;
  {
    // No identifier changes while the port goes: it takes its index entries with it.
    std::lock_guard<std::mutex> lock(ids_mx_);
    port_->close();  // wakes a reader waiting on the port
  }
  inbox_.close();
}

std::shared_ptr<Handle> HandleTable::make(int net, const OpenArgs& args) {
  return std::make_shared<Handle>(next_.fetch_add(1, std::memory_order_relaxed), net, args);
}

void HandleTable::add(const std::shared_ptr<Handle>& h) {
  Shard& s = shard(h->id());
  std::unique_lock<std::shared_mutex> lock(s.mx);
  s.open.emplace(h->id(), h);
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
