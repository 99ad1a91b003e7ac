// id_index.cc - receivers by identifier.
#include "id_index.h"

#include <algorithm>

#include "canbus/can_frame.h"

namespace ntcan_driver {

IdIndex::Receivers& IdIndex::slot(std::int32_t id) {
  if (canbus::is_extended(id)) return extended_[id];
  if (!standard_) standard_ = std::make_unique<Receivers[]>(canbus::kStandardIdMax + 1);
  return standard_[static_cast<std::size_t>(id)];
}

const IdIndex::Receivers* IdIndex::find(std::int32_t id) const {
  if (canbus::is_extended(id)) {
    const auto it = extended_.find(id);
    return it == extended_.end() ? nullptr : &it->second;
  }
  if (!standard_ || id < 0 || id > canbus::kStandardIdMax) return nullptr;
  return &standard_[static_cast<std::size_t>(id)];
}

void IdIndex::add(std::int32_t id, Inbox* inbox) {
  if (!canbus::valid_id(id)) return;
  Receivers& r = slot(id);
  if (std::find(r.begin(), r.end(), inbox) == r.end()) r.push_back(inbox);
}

void IdIndex::remove(std::int32_t id, Inbox* inbox) {
  if (!canbus::valid_id(id)) return;
  Receivers& r = slot(id);
  r.erase(std::remove(r.begin(), r.end(), inbox), r.end());
  if (r.empty()) {
    if (canbus::is_extended(id)) {
      extended_.erase(id);
    } else {
      Receivers().swap(r);  // a table slot gives its storage back
    }
  }
}

int IdIndex::deliver(const CMSG& m, const void* except) const {
  const Receivers* r = find(m.id);
  if (r == nullptr) return 0;
  int n = 0;
  for (Inbox* inbox : *r) {
    if (inbox == except) continue;
    inbox->put(m);
    ++n;
  }
  return n;
}

void IdIndex::prefetch(const CMSG& m) const {
  const Receivers* r = find(m.id);
  if (r == nullptr) return;
  for (Inbox* inbox : *r) __builtin_prefetch(inbox, 1);
}

bool IdIndex::wanted(std::int32_t id) const {
  const Receivers* r = find(id);
  return r != nullptr && !r->empty();
}

}  // namespace ntcan_driver
