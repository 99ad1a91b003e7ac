// Lost-device supervision: a node whose device sends no state frame (heartbeat, guarding
// answer, boot-up) for longer than its supervision time is shown as lost until the next one.
// It runs inside can_looping(), on the batches the server has the library take anyway, and
// measures silence in ms of the service clock (korvel::monotonic_ms).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

constexpr const char* kHeading = "D_can::supervise_alive";

// One supervised node object.
struct Watch {
  D_can* node;
  int ms;
  std::int64_t
      last_seen;  // service time of the batch with the last state frame (or of switching on)
  bool lost;
};

// The supervised nodes, and two indexes that spare polling and lookups a walk over all of
// them: a node's watch by node, and the watches by the receive buffer their node shares now.
// Used only under D_can::mx_loop (korvel::LoopLock); never destroyed, like the polled list.
struct Supervision {
  std::vector<Watch> watches;  // in order of switching on
  std::unordered_map<const D_can*, std::size_t> by_node;
  std::unordered_map<const CMSG*, std::vector<std::size_t>> by_buffer;
  bool by_node_stale = false;
  bool by_buffer_stale = false;
  std::uint32_t by_buffer_changes = 0;  // korvel::buffer_changes() when by_buffer was built
};

Supervision& supervision() {
  static auto* s = new Supervision();
  return *s;
}

void changed_watches() {
  supervision().by_node_stale = true;
  supervision().by_buffer_stale = true;
}

// The node's watch, or null.
Watch* find_watch(const D_can* node) {
  Supervision& s = supervision();
  if (s.by_node_stale) {
    s.by_node.clear();
    for (std::size_t k = 0; k < s.watches.size(); ++k) s.by_node.emplace(s.watches[k].node, k);
    s.by_node_stale = false;
  }
  const auto it = s.by_node.find(node);
  return it == s.by_node.end() ? nullptr : &s.watches[it->second];
}

void erase_watch(const D_can* node) {
  Supervision& s = supervision();
  if (!find_watch(node)) return;
  s.watches.erase(std::find_if(s.watches.begin(), s.watches.end(),
                               [node](const Watch& w) { return w.node == node; }));
  changed_watches();
}

// State byte of the last state frame of device node_id among n frames; -1 when there is none.
int last_state(const CMSG* frames, int n, int node_id) {
  int state = -1;
  for (int i = 0; i < n; ++i) {
    if (frames[i].id == korvel::canopen::error_control_id(node_id) && frames[i].len == 1)
      state = frames[i].data[0];
  }
  return state;
}

}  // namespace

int D_can::supervise_alive(int ms) {
  if (ms < 0) return -1;
  korvel::LoopLock lk;
  if (ms == 0) {
    erase_watch(this);
    return 0;
  }
  const std::int64_t now = korvel::monotonic_ms();
  if (Watch* w = find_watch(this)) {
    w->ms = ms;
    w->last_seen = now;  // a new supervision time counts from now
  } else {
    supervision().watches.push_back(Watch{this, ms, now, false});
    changed_watches();
  }
  return 0;
}

bool D_can::is_lost() const {
  korvel::LoopLock lk;
  const Watch* w = find_watch(this);
  return w && w->lost;
}

void D_can::forget_supervision() {
  korvel::LoopLock lk;
  erase_watch(this);
}

// Under mx_loop, right after master's fill. Every supervised node object that shares the
// master's receive buffer (the master itself and its passive nodes) judges the new batch.
void D_can::supervise_batch(D_can* master) {
  Supervision& s = supervision();
  if (s.watches.empty() || !master || !master->rxmsg_ || !master->rxmsg_len_) return;
  const std::uint32_t changes = korvel::buffer_changes();
  if (s.by_buffer_stale || changes != s.by_buffer_changes) {
    s.by_buffer.clear();
    for (std::size_t k = 0; k < s.watches.size(); ++k) {
      if (const CMSG* buffer = s.watches[k].node->rxmsg_) s.by_buffer[buffer].push_back(k);
    }
    s.by_buffer_stale = false;
    s.by_buffer_changes = changes;
  }
  const auto found = s.by_buffer.find(master->rxmsg_);
  if (found == s.by_buffer.end()) return;
  // A fill without a usable line took nothing: that counts as silence too.
  const int n = std::min(std::max(*master->rxmsg_len_, 0), korvel::kRxCapacity);
  const std::int64_t now = korvel::monotonic_ms();  // only when a supervised node is concerned
  const std::vector<std::size_t>& judges = found->second;
  // The log lines below leave the library: should anything there change the watches, the
  // rest of this batch is left to the next one.
  for (std::size_t j = 0; j < judges.size() && !s.by_buffer_stale; ++j) {
    Watch& w = s.watches[judges[j]];
    D_can* node = w.node;
    const int state = last_state(master->rxmsg_, n, node->canIdent_.i2_data);
    if (state >= 0) {
      w.last_seen = now;
      if (!w.lost) continue;
      w.lost = false;
      if (node->alive_) node->alive_->set_value(state);  // the usual value and condition text
      char text[200];
      std::snprintf(text, sizeof text, "%s: back, state 0x%02X (%s)", node->basename().c_str(),
                    static_cast<unsigned>(state),
                    node->modul_condition_ ? node->modul_condition_->value().c_str() : "");
      korvel::log(kHeading, text);
    } else if (!w.lost && now - w.last_seen >= w.ms) {
      w.lost = true;
      if (node->alive_) node->alive_->D_int_ptr::set_value(kLostAlive);
      node->show_condition(kLostText);
      korvel::log(kHeading, node->basename() + ": lost, no state frame for more than " +
                                std::to_string(w.ms) + " ms");
    }
  }
}
