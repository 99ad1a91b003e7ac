// Lost-device supervision: a node whose device sends no state frame (heartbeat, guarding
// answer, boot-up) for longer than its supervision time is shown as lost until the next one.
// It runs inside can_looping(), on the batches the server has the library take anyway, and
// measures silence on the framework clock.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "canopen_codes.h"
#include "framework_clock.h"
#include "korvel_internal.h"

namespace {

constexpr const char* kHeading = "D_can::supervise_alive";

// One supervised node object.
struct Watch {
  D_can* node;
  int ms;
  std::time_t
      last_seen;  // framework time of the batch with the last state frame (or of switching on)
  bool lost;
};

// The supervised nodes; used only under D_can::mx_loop (korvel::LoopLock).
std::vector<Watch>& watches() {
  static auto* w = new std::vector<Watch>();  // never destroyed, like the polled list
  return *w;
}

std::vector<Watch>::iterator find_watch(const D_can* node) {
  auto& w = watches();
  return std::find_if(w.begin(), w.end(), [node](const Watch& x) { return x.node == node; });
}

// State byte of the last state frame of device node_id among n frames; -1 when there is none.
int last_state(const CMSG* frames, int n, int node_id) {
  int state = -1;
  for (int i = 0; i < n; ++i) {
    if (frames[i].id == korvel::kErrorControlBase + node_id && frames[i].len == 1)
      state = frames[i].data[0];
  }
  return state;
}

}  // namespace

int D_can::supervise_alive(int ms) {
  if (ms < 0) return -1;
  korvel::LoopLock lk;
  auto it = find_watch(this);
  if (ms == 0) {
    if (it != watches().end()) watches().erase(it);
    return 0;
  }
  const std::time_t now = VEXILtime();
  if (it == watches().end()) {
    watches().push_back(Watch{this, ms, now, false});
  } else {
    it->ms = ms;
    it->last_seen = now;  // a new supervision time counts from now
  }
  return 0;
}

bool D_can::is_lost() const {
  korvel::LoopLock lk;
  auto it = find_watch(this);
  return it != watches().end() && it->lost;
}

void D_can::forget_supervision() {
  korvel::LoopLock lk;
  auto it = find_watch(this);
  if (it != watches().end()) watches().erase(it);
}

// Under mx_loop, right after master's fill. Every supervised node object that shares the
// master's receive buffer (the master itself and its passive nodes) judges the new batch.
void D_can::supervise_batch(D_can* master) {
  if (watches().empty() || !master || !master->rxmsg_ || !master->rxmsg_len_) return;
  // A fill without a usable line took nothing: that counts as silence too.
  const int n = std::min(std::max(*master->rxmsg_len_, 0), korvel::kRxCapacity);
  bool asked = false;
  std::time_t now = 0;
  for (Watch& w : watches()) {
    D_can* node = w.node;
    if (node->rxmsg_ != master->rxmsg_) continue;
    if (!asked) {
      now = VEXILtime();  // only when a supervised node is concerned
      asked = true;
    }
    const int state = last_state(master->rxmsg_, n, node->canIdent_.i2_data);
    const std::string base = node->basename();
    if (state >= 0) {
      w.last_seen = now;
      if (!w.lost) continue;
      w.lost = false;
      if (node->alive_) node->alive_->set_value(state);  // the usual value and condition text
      char text[200];
      std::snprintf(text, sizeof text, "%s: back, state 0x%02X (%s)", base.c_str(),
                    static_cast<unsigned>(state),
                    node->modul_condition_ ? node->modul_condition_->value().c_str() : "");
      korvel::log(kHeading, text);
    } else if (!w.lost && korvel::surely_past(w.last_seen, now, w.ms)) {
      w.lost = true;
      if (node->alive_) node->alive_->D_int_ptr::set_value(kLostAlive);
      if (node->modul_condition_) node->modul_condition_->set_value(kLostText);
      korvel::log(kHeading,
                  base + ": lost, no state frame for more than " + std::to_string(w.ms) + " ms");
    }
  }
}
