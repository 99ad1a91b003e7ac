// NMT module control (start, stop, reset) of a node's device, and the command and master-flag
// properties.

#include "D_korvel.h"
#include "canopen/nmt.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

using korvel::canopen::NmtCommand;

constexpr unsigned char command_byte(NmtCommand c) { return static_cast<unsigned char>(c); }

}  // namespace

int D_can::send_nmt(unsigned char command) {
  const NTCAN_HANDLE h = handle();
  if (h < 0) return korvel::kNoUsableLine;
  // Node-ID 0 addresses every node.
  CMSG m = korvel::to_cmsg(
      korvel::canopen::nmt_frame(static_cast<NmtCommand>(command), canIdent_.i2_data));
  int32_t count = 1;
  return canSend(h, &m, &count);
}

int D_can::start_node() { return send_nmt(command_byte(NmtCommand::kStart)); }
int D_can::stop_node() { return send_nmt(command_byte(NmtCommand::kStop)); }
int D_can::reset_node() { return send_nmt(command_byte(NmtCommand::kResetNode)); }
int D_can::modinit() { return start_node(); }

D_canint::D_canint(const std::string& pn, int todo, D_can* can, EqFct* efp)
    : vexil::D_value<int>(pn, efp), todo_(todo), can_(can), eq_fct_(efp) {}

D_canint::~D_canint() = default;

void D_canint::read() {}

void D_canint::set_value(int i) {
  vexil::D_value<int>::set_value(i);
  if (!can_) return;
  // The written value plays no part, and the command's status is not kept.
  switch (todo_) {
    case START_NODE:
      can_->start_node();
      break;
    case STOP_NODE:
      can_->stop_node();
      break;
    case RESET_NODE:
      can_->reset_node();
      break;
    default:
      break;
  }
}

D_canactive::D_canactive(const std::string& pn, EqFct* efp) : vexil::D_value<int>(pn, efp) {}

D_canactive::~D_canactive() = default;

void D_canactive::read() {}
