// Node start-up and close: finding or creating the node's line, master and passive nodes,
// the receive buffer, identifiers, and the polled list.
#include <algorithm>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>

#include "D_korvel.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

using korvel::kept;

using korvel::kFailed;

}  // namespace

// The polled master of this node's (line, node-ID) pair, or the list's end.
std::vector<D_can*>::iterator D_can::find_pair() {
  auto& list = korvel::can_list();
  return std::find_if(list.begin(), list.end(), [this](const D_can* n) {
    return n->canIdent_.i1_data == canIdent_.i1_data && n->canIdent_.i2_data == canIdent_.i2_data;
  });
}

bool D_can::isactive() const { return active_ && active_->get_value() != 0; }

bool D_can::follows_master() const { return pair_handle_ && !isactive(); }

NTCAN_HANDLE D_can::handle_source() const {
  return follows_master() ? pair_handle_->load() : canhandle_.load();
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
}

void D_can::leave_pair() {
  // The buffers stay with the pair (they are kept for the process); only the references go.
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;
  pair_handle_ = nullptr;
  canhandle_ = -1;
}

void D_can::take_new_buffers() {
  rxmsg_ = kept(new CMSG[korvel::kRxCapacity]());
  pair_handle_ = kept(new std::atomic<NTCAN_HANDLE>(-1));
  can_ret_ = kept(new int(0));
  rxmsg_len_ = kept(new int32_t(0));
  alive_ptr_ = kept(new int(0));
  alive_->set_ptr(alive_ptr_);
  alive_->set_value(korvel::kAliveUnknown);
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

  auto& list = korvel::can_list();
  const auto found = find_pair();

  if (found != list.end()) {
    D_can* t = *found;
    if (isactive() && t->canIdent_.i3_data == canIdent_.i3_data) {
      // A master started again (or an active twin): only opened, buffers stay as they are.
      const int err = can_open();
      if (err != 0) return err;
    } else {
      adopt_pair(*t);  // passive: no driver call
    }
  } else {
    list.push_back(this);
    // A node that followed another master lets go of that pair (and of its handle, which
    // the old master may have closed) before it becomes a master itself.
    if (!isactive() && rxmsg_) leave_pair();
    if (!rxmsg_) take_new_buffers();
    active_->set_value(1);
    const int err = can_open();
    if (err != 0) return err;
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
  if (canIdent_.i2_data > 0) return init(korvel::kEmergencyBase + canIdent_.i2_data);
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
  auto& list = korvel::can_list();
  const auto it = find_pair();
  if (it != list.end()) list.erase(it);
}
