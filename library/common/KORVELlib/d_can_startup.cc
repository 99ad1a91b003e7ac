// Node start-up and close: finding or creating the node's line, master and passive nodes,
// the receive buffer, identifiers, and the polled list.
#include <algorithm>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen_codes.h"
#include "korvel_internal.h"
#include "process_data.h"

namespace {

using korvel::kept;

using korvel::kFailed;

std::uint64_t pair_key(int line, int node_id) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(line)) << 32) |
         static_cast<std::uint32_t>(node_id);
}

// The polled nodes by (line, node-ID), each key's nodes in list order (registration order).
// Used only under D_can::mx_loop; lives for the process like the list.
std::unordered_map<std::uint64_t, std::vector<D_can*>>& pair_index() {
  static auto* index = new std::unordered_map<std::uint64_t, std::vector<D_can*>>();
  return *index;
}

std::uint64_t next_list_seq = 0;  // under mx_loop

}  // namespace

// A lookup in the index instead of a walk of the list: the same node as the walk would find,
// as long as identities change through the library (set_value, read), which keeps the index
// in step; each candidate is checked against its identity as it is now.
D_can* D_can::find_pair() {
  auto& index = pair_index();
  const auto it = index.find(pair_key(canIdent_.i1_data, canIdent_.i2_data));
  if (it == index.end()) return nullptr;
  for (D_can* n : it->second) {
    if (n->canIdent_.i1_data == canIdent_.i1_data && n->canIdent_.i2_data == canIdent_.i2_data)
      return n;
  }
  return nullptr;
}

void D_can::enter_list() {
  korvel::can_list().push_back(this);
  listed_ = true;
  list_seq_ = next_list_seq++;
  list_key_ = pair_key(canIdent_.i1_data, canIdent_.i2_data);
  pair_index()[list_key_].push_back(this);  // the newest entry: last in list order
  poll_plain_ = typeid(*this) == typeid(D_can);
}

void D_can::leave_list() {
  auto& list = korvel::can_list();
  const auto at = std::find(list.begin(), list.end(), this);
  if (at != list.end()) list.erase(at);
  auto& index = pair_index();
  const auto it = index.find(list_key_);
  if (it != index.end()) {
    auto& nodes = it->second;
    nodes.erase(std::remove(nodes.begin(), nodes.end(), this), nodes.end());
    if (nodes.empty()) index.erase(it);
  }
  listed_ = false;
  poll_plain_ = false;
}

void D_can::follow_identity() {
  if (!listed_) return;
  const std::uint64_t key = pair_key(canIdent_.i1_data, canIdent_.i2_data);
  if (key == list_key_) return;
  auto& index = pair_index();
  const auto old = index.find(list_key_);
  if (old != index.end()) {
    auto& nodes = old->second;
    nodes.erase(std::remove(nodes.begin(), nodes.end(), this), nodes.end());
    if (nodes.empty()) index.erase(old);
  }
  list_key_ = key;
  // Among the nodes of its new key the node keeps its place in list order.
  auto& nodes = index[key];
  nodes.insert(std::find_if(nodes.begin(), nodes.end(),
                            [this](const D_can* n) { return n->list_seq_ > list_seq_; }),
               this);
}

bool D_can::isactive() const { return active_ && active_->get_value() != 0; }

bool D_can::follows_master() const { return pair_handle_ && !isactive(); }

NTCAN_HANDLE D_can::handle_source() const {
  const NTCAN_HANDLE own = canhandle_.load();
  if (!pair_handle_) return own;
  // For a master the two agree but after some closes; while they agree the master flag need
  // not be asked (it lies outside the memory a poll reads).
  const NTCAN_HANDLE shared = pair_handle_->load();
  if (shared == own) return own;
  return isactive() ? own : shared;
}

NTCAN_HANDLE D_can::handle() const {
  const canline* line = pline_;
  if (!line) return -1;
  const NTCAN_HANDLE lh = line->handle();
  if (lh <= 0) return -1;
  const NTCAN_HANDLE source = handle_source();
  return source == kOnLineHandle ? lh : source;
}

void D_can::handle(NTCAN_HANDLE h) {
  canhandle_ = h;
  publish_handle();
}

bool D_can::shares_line_handle() const { return handle_source() == kOnLineHandle; }

void D_can::publish_handle() {
  if (pair_handle_ && isactive()) pair_handle_->store(canhandle_.load());
}

void D_can::adopt_pair(const D_can& master) {
  pline_ = master.pline_;
  canhandle_ = master.canhandle_.load();
  pair_handle_ = master.pair_handle_;
  rxmsg_ = master.rxmsg_;
  can_ret_ = master.can_ret_;
  rxmsg_len_ = master.rxmsg_len_;
  alive_ptr_ = master.alive_ptr_;
  alive_->set_ptr(alive_ptr_);
  korvel::note_buffer_change();
}

void D_can::leave_pair() {
  // The buffers stay with the pair (they are kept for the process); only the references go.
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;
  pair_handle_ = nullptr;
  canhandle_ = -1;
  korvel::note_buffer_change();
}

void D_can::take_new_buffers() {
  auto* block = kept(new korvel::RxBlock());
  rxmsg_ = block->frames;
  pair_handle_ = &block->pair_handle;
  can_ret_ = &block->ret;
  rxmsg_len_ = &block->len;
  alive_ptr_ = &block->alive;
  alive_->set_ptr(alive_ptr_);
  alive_->set_value(korvel::kAliveUnknown);
  korvel::note_buffer_change();
}

int D_can::init() { return start_plain({canIdent_.i2_data, canIdent_.i3_data, canIdent_.i4_data}); }

int D_can::start_plain(std::initializer_list<int> idents) {
  if (!korvel::valid_line(canIdent_.i1_data)) return kFailed;
  if (!alive_ptr_) {
    alive_ptr_ = kept(new int(0));
    alive_->set_ptr(alive_ptr_);
  }
  const int err = can_open();
  if (err != 0) return err;
  for (int id : idents) {
    if (id > 0) {
      const int r = AddIdent(id);
      if (r != 0) return r;
    }
  }
  return 0;
}

int D_can::init(int ident) {
  if (!korvel::valid_line(canIdent_.i1_data)) return kFailed;
  korvel::LoopLock lk;

  follow_identity();  // in case the identity was changed behind the library's back
  D_can* const t = find_pair();

  if (t) {
    if (isactive() && t->canIdent_.i3_data == canIdent_.i3_data) {
      // A master started again (or an active twin): only opened, buffers stay as they are.
      const int err = can_open();
      if (err != 0) return err;
    } else {
      adopt_pair(*t);  // passive: no driver call
    }
  } else {
    enter_list();
    // A node that followed another master lets go of that pair (and of its handle, which
    // the old master may have closed) before it becomes a master itself.
    if (!isactive() && rxmsg_) leave_pair();
    if (!rxmsg_) take_new_buffers();
    active_->set_value(1);
    const int err = can_open();
    if (err != 0) return err;
    korvel::ProcessData::start_with_file(*this);
  }

  if (ident > 0) return AddIdent(ident);
  return 0;
}

int D_can::init(int ident, int flag) {
  if (flag == 1) return start_plain({ident});
  init(ident);
  return 0;
}

int D_can::init_emergency() {
  if (canIdent_.i2_data > 0) return init(korvel::canopen::emcy_id(canIdent_.i2_data));
  return 0;
}

int D_can::can_open() {
  std::lock_guard<std::mutex> lk(korvel::canline_mutex());
  auto& lines = korvel::canline_list();
  for (canline* line : lines) {
    if (line->line() != canIdent_.i1_data) continue;
    const bool on_line = canhandle_ == kOnLineHandle;
    NTCAN_HANDLE h = on_line ? line->handle() : canhandle_.load();
    const int ret = line->can_open(h, false);
    if (!on_line) canhandle_ = h;
    pline_ = line;
    publish_handle();
    return ret;
  }

  // The first node of a line creates it; its handle is the line handle from now on.
  canline* line = kept(new canline());
  line->setline(canIdent_.i1_data);
  std::string ip;
  line->getlineip(canIdent_.i1_data, ip);
  line->setlineip(ip);
  const int code = baudrate_->value();
  line->setbaud(code == 0 ? NTCAN_BAUD_125 : code);
  NTCAN_HANDLE h = canhandle_ == kOnLineHandle ? -1 : canhandle_.load();
  const int ret = line->can_open(h, true);
  canhandle_ = kOnLineHandle;
  lines.push_back(line);
  line->t1_ = std::thread(can_control, static_cast<void*>(line));
  line->t1_.detach();
  pline_ = line;
  publish_handle();
  return ret;
}

int D_can::can_close() {
  if (canhandle_ == -1 && !pair_handle_) return 0;
  if (!isactive()) {
    // Passive: lets go of the master's buffer and handle; nothing to close.
    leave_pair();
    return 0;
  }
  int ret = 0;
  const NTCAN_HANDLE own = canhandle_;
  if (own >= 0) {
    // A handle of the node's own; closed also while the line is down. The line handle is
    // only ever closed by the line.
    ret = canClose(own);
    if (ret != 0) korvel::log("D_can::can_close returned: ", korvel::status_name(ret));
    // Passive nodes of the pair lose the handle with it (the line handle stays theirs).
    if (pair_handle_) pair_handle_->store(-1);
    VEXILsleep(0, 5000);
  }
  canhandle_ = -1;
  return ret;
}

int D_can::AddIdent(int ident) {
  const NTCAN_HANDLE h = handle();
  const int r = canIdAdd(h, ident);
  if ((r == 0 || r == NTCAN_ID_ALREADY_ENABLED) && shares_line_handle() && pline_)
    pline_->remember_id(ident);
  return r == NTCAN_ID_ALREADY_ENABLED ? 0 : r;
}

int D_can::DelIdent(int ident) {
  if (!isactive()) return 0;
  if (shares_line_handle() && pline_) pline_->forget_id(ident);
  return canIdDelete(handle(), ident);
}

int D_can::dellist() {
  if (!isactive()) return 0;
  korvel::LoopLock lk;
  dellist_locked();
  return 0;
}

void D_can::dellist_locked() {
  if (!korvel::valid_line(canIdent_.i1_data)) return;
  if (D_can* master = find_pair()) master->leave_list();
}
