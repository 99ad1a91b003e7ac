// The periodic polling of all masters, the polling lock, the process-wide lists of masters
// and lines, and the debug dump of a polled batch.
#include <atomic>
#include <cstdint>
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

std::atomic<std::uint32_t> g_buffer_changes{0};
}  // namespace

void note_buffer_change() { g_buffer_changes.fetch_add(1, std::memory_order_release); }

std::uint32_t buffer_changes() { return g_buffer_changes.load(std::memory_order_acquire); }

bool& loop_held_here() { return t_holds_loop; }

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

namespace {

// How far ahead can_looping works: the node's poll line is asked for this many nodes ahead,
// what that line points at (its line, its receive buffer's scalars) half as many, so that
// the pass finds each node's data in the cache instead of waiting for memory node by node.
constexpr std::size_t kNodeAhead = 4;
constexpr std::size_t kFillAhead = 2;
// Nodes polled under one hold of the polling lock.
constexpr std::size_t kNodesPerLock = 16;

}  // namespace

int can_looping() {
  // Walk by position, a few nodes per lock: start-ups and removals on other threads
  // interleave between two groups (waiting at most for a group's fills, a few microseconds),
  // the list is re-checked under each lock, and a node removed from the list is never
  // touched again. Taking the lock once per group rather than per node spares most of its
  // cost in a pass over thousands of nodes.
  bool& held = korvel::loop_held_here();  // looked up once for the whole pass
  auto& list = korvel::can_list();
  std::int64_t now_ms = -1;  // the service clock, read once a node's process data needs it
  for (std::size_t i = 0;;) {
    korvel::LoopLock lk(held);
    if (i >= list.size()) break;
    // A derived can_fill may start or remove nodes (the lock is re-entrant): the size is
    // read again for every node.
    for (const std::size_t group_end = i + kNodesPerLock; i < group_end && i < list.size(); ++i) {
      const std::size_t n = list.size();
      if (i + kNodeAhead < n) __builtin_prefetch(&list[i + kNodeAhead]->pline_);
      if (i + kFillAhead < n) list[i + kFillAhead]->prefetch_fill();
      D_can* node = list[i];
      if (node->poll_plain_) {
        node->fill_plain();
      } else {
        node->can_fill();
      }
      D_can::supervise_batch(node);
      if (node->pd_) node->process_batch(&now_ms);
      if (VEXIL_debug & 0x100000) node->can_print();
    }
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
