// The periodic polling of all masters, the polling lock, the process-wide lists of masters
// and lines, and the debug dump of a polled batch.
#include <cstdio>
#include <mutex>
#include <vector>

#include "D_korvel.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace korvel {

// The lists live for the whole process: server threads may still poll or start nodes while
// the process exits, so they are never destroyed.
std::vector<D_can*>& can_list() {
  static auto* list = new std::vector<D_can*>();
  return *list;
}

std::vector<canline*>& canline_list() {
  static auto* list = new std::vector<canline*>();
  return *list;
}

std::mutex& canline_mutex() {
  static auto* mx = new std::mutex();
  return *mx;
}

void keep_for_process(const void* p) {
  static auto* mx = new std::mutex();
  static auto* kept = new std::vector<const void*>();
  std::lock_guard<std::mutex> lk(*mx);
  kept->push_back(p);
}

namespace {
// True while the calling thread holds D_can::mx_loop through a LoopLock.
thread_local bool t_holds_loop = false;
}  // namespace

LoopLock::LoopLock() : owner_(!t_holds_loop) {
  if (owner_) {
    D_can::mx_loop.lock();
    t_holds_loop = true;
  }
}

LoopLock::~LoopLock() {
  if (owner_) {
    t_holds_loop = false;
    D_can::mx_loop.unlock();
  }
}

}  // namespace korvel

std::mutex D_can::mx_loop;

void D_can::can_print() {
  if (!canIdent_debug_) return;
  const IIII* d = canIdent_debug_->value();
  if (d->i1_data != canIdent_.i1_data || d->i2_data != canIdent_.i2_data ||
      d->i3_data != canIdent_.i3_data)
    return;
  if (!rxmsg_ || !rxmsg_len_ || *rxmsg_len_ <= 0) return;

  for (int i = 0; i < *rxmsg_len_ && i < korvel::kRxCapacity; ++i) {
    const CMSG& m = rxmsg_[i];
    if (m.id == 0) continue;
    char data[8 * 3 + 1] = "";
    int used = 0;
    for (int j = 0; j < m.len && j < 8; ++j) {
      used += std::snprintf(data + used, sizeof data - used, " %02X", m.data[j]);
    }
    char line[200];
    std::snprintf(line, sizeof line, "ID: %X, Len: %d, Data:%s", static_cast<unsigned>(m.id), m.len,
                  data);
    korvel::log("can_print", line);
  }
}

int can_looping() {
  // Walk by position, one node per lock: start-ups and removals on other threads interleave
  // between two nodes, and a node removed from the list is never touched again.
  for (std::size_t i = 0;; ++i) {
    korvel::LoopLock lk;
    auto& list = korvel::can_list();
    if (i >= list.size()) break;
    D_can* node = list[i];
    // The nodes lie all over the heap: while this one is polled, the processor loads the next
    // one's fields and the one after that, so the pass does not wait for memory node by node.
    if (i + 1 < list.size()) list[i + 1]->prefetch_fill();
    if (i + 2 < list.size()) {
      __builtin_prefetch(list[i + 2]);
      __builtin_prefetch(reinterpret_cast<const char*>(list[i + 2]) + 64);
    }
    node->can_fill();
    D_can::supervise_batch(node);
    if (VEXIL_debug & 0x100000) node->can_print();
  }
  return 0;
}

std::vector<D_can*> korvel_polled_nodes() {
  korvel::LoopLock lk;
  return korvel::can_list();
}

std::vector<canline*> korvel_lines() {
  std::lock_guard<std::mutex> lk(korvel::canline_mutex());
  return korvel::canline_list();
}
