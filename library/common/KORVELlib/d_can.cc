// The node property core: identity as a property value (client access, configuration) and
// the identity change.
#include <cstdio>
#include <exception>
#include <mutex>
#include <ostream>
#include <string>

#include "D_korvel.h"
#include "korvel_internal.h"

D_iiii* D_can::canIdent_debug_ = nullptr;

D_can::D_can(const std::string& pn, EqFct* ef)
    : D_fct(pn, ef, 0),
      pline_(nullptr),
      canhandle_(-1),
      poll_plain_(false),
      pair_handle_(nullptr),
      rxmsg_(nullptr),
      can_ret_(nullptr),
      rxmsg_len_(nullptr),
      active_(nullptr),
      alive_ptr_(nullptr),
      canIdent_{0, 0, 0, 0},
      oldIdent_{0, 0, 0, 0},
      changed_(false),
      first_at_line_(false),
      can_error_(0),
      efp_(ef),
      baudrate_(nullptr),
      start_node_(nullptr),
      stop_node_(nullptr),
      reset_node_(nullptr),
      alive_(nullptr),
      modul_condition_(nullptr),
      manu_(nullptr),
      hwver_(nullptr),
      swver_(nullptr),
      device_file_(nullptr),
      ToggleBit(0),
      Index(0),
      Subindex(0),
      manu_str_{},
      hw_str_{},
      sw_str_{},
      listed_(false),
      list_key_(0),
      list_seq_(0),
      sdo_size_(-1),
      sdo_capacity_(64) {
  construct(pn);
}

D_can::~D_can() {
  unregister_node();
  forget_supervision();
  forget_process_data();
  can_close();
  // The sub-properties outlive the node; they must not reach back into it.
  if (start_node_) start_node_->detach_node();
  if (stop_node_) stop_node_->detach_node();
  if (reset_node_) reset_node_->detach_node();
  if (alive_) alive_->detach_node();
  // The text properties keep their text inside the node: take them out of the location so
  // that nobody reads them any more.
  if (efp_) {
    for (D_fct* text :
         {static_cast<D_fct*>(manu_), static_cast<D_fct*>(hwver_), static_cast<D_fct*>(swver_)}) {
      if (text) efp_->remove_property(text);
    }
  }
}

void D_can::unregister_node() {
  korvel::LoopLock lk;
  if (listed_) leave_list();
}

int D_can::data_type() const { return DATA_IIII; }

void D_can::conf(Config* conf) { conf_insert(conf, DATA_IIII); }

void D_can::read() {
  IIII next = canIdent_;
  try {
    D_conf_struct* entry = find_prop_name();
    if (entry && entry->found) {
      next.i1_data = entry->d_int_array[0];
      next.i2_data = entry->d_int_array[1];
      next.i3_data = entry->d_int_array[2];
      next.i4_data = entry->d_int_array[3];
    }
  } catch (const std::exception& e) {
    korvel::log("read", e.what());
  }
  // Out-of-range values count as unset; negative values pass.
  if (next.i1_data > 20) next.i1_data = 0;
  if (next.i2_data > 2000) next.i2_data = 0;
  if (next.i3_data > 2000) next.i3_data = 0;
  if (next.i4_data > 2000) next.i4_data = 0;
  // A polled node that a configuration reload moves stays findable under its new identity.
  korvel::LoopLock lk;
  canIdent_ = next;
  follow_identity();
}

void D_can::write(std::ostream& ofile) {
  D_fct::write(ofile);
  char buf[200];
  std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", canIdent_.i1_data, canIdent_.i2_data,
                canIdent_.i3_data, canIdent_.i4_data);
  ofile << buf;
}

int D_can::get(EqAdr*, EqData*, EqData* res, EqFct*) {
  if (!res) return ERR_ILLEGAL_DATA;
  res->set(&canIdent_);
  return 0;
}

int D_can::set(EqAdr*, EqData* ed, EqData*, EqFct*) {
  if (!ed) return 0;
  if (IIII* s = ed->get_iiii()) set_value(s);
  return 0;
}

int D_can::get_multi(EqAdr*, EqData*, EqData* res, int* i, char* addr) {
  if (!res) return ERR_ILLEGAL_DATA;
  res->set(canIdent_.i1_data, static_cast<float>(canIdent_.i2_data),
           static_cast<float>(canIdent_.i3_data), static_cast<std::time_t>(canIdent_.i4_data),
           std::string(addr ? addr : ""), i ? *i : 0);
  return 0;
}

void D_can::set_value(IIII* s) {
  if (!s) return;
  char line[400];
  if (efp_) {
    char by[200];
    std::snprintf(by, sizeof by, "%s@%s", efp_->get_username().c_str(),
                  efp_->get_hostname().c_str());
    std::snprintf(line, sizeof line, "%s change from: %d, %d, %d, %d to: %d, %d, %d, %d by %s",
                  basename().c_str(), canIdent_.i1_data, canIdent_.i2_data, canIdent_.i3_data,
                  canIdent_.i4_data, s->i1_data, s->i2_data, s->i3_data, s->i4_data, by);
    korvel::log(efp_->get_location_name(), line);
  } else {
    std::snprintf(line, sizeof line, "%s change from: %d, %d, %d, %d to: %d, %d, %d, %d",
                  basename().c_str(), canIdent_.i1_data, canIdent_.i2_data, canIdent_.i3_data,
                  canIdent_.i4_data, s->i1_data, s->i2_data, s->i3_data, s->i4_data);
    korvel::log("D_can", line);
  }

  // Under the polling lock, so that no poll uses the handle while it is closed.
  const IIII next = *s;
  korvel::LoopLock lk;
  if (next.i1_data != canIdent_.i1_data || next.i2_data != canIdent_.i2_data) {
    can_close();
    if (isactive()) dellist_locked();
    changed_ = true;
  }
  canIdent_ = next;
  follow_identity();
}
