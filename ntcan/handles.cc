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

std::shared_ptr<Handle> HandleTable::add(int net, const OpenArgs& args, std::unique_ptr<Port> port) {
  std::unique_lock<std::shared_mutex> lock(mx_);
  auto h = std::make_shared<Handle>(next_++, net, args, std::move(port));
  open_.emplace(h->id(), h);
  return h;
}

std::shared_ptr<Handle> HandleTable::find(NTCAN_HANDLE h) const {
  std::shared_lock<std::shared_mutex> lock(mx_);
  auto it = open_.find(h);
  return it == open_.end() ? nullptr : it->second;
}

std::shared_ptr<Handle> HandleTable::remove(NTCAN_HANDLE h) {
  std::unique_lock<std::shared_mutex> lock(mx_);
  auto it = open_.find(h);
  if (it == open_.end()) return nullptr;
  auto handle = std::move(it->second);
  open_.erase(it);
  return handle;
}

std::vector<std::shared_ptr<Handle>> HandleTable::on_net(int net) const {
  std::shared_lock<std::shared_mutex> lock(mx_);
  std::vector<std::shared_ptr<Handle>> out;
  for (const auto& [id, h] : open_) {
    if (h->net() == net) out.push_back(h);
  }
  return out;
}

std::vector<std::shared_ptr<Handle>> HandleTable::remove_all() {
  std::unique_lock<std::shared_mutex> lock(mx_);
  std::vector<std::shared_ptr<Handle>> out;
  for (auto& [id, h] : open_) out.push_back(std::move(h));
  open_.clear();
  return out;
}

}  // namespace ntcan_driver
