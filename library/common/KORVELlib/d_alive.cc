// Alive supervision: the device's NMT state from node guarding, shown with a condition text.
#include <string>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen/nmt.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

namespace co = korvel::canopen;
using co::NmtState;
using korvel::kFound;

// The low four bits of a state, which decide its text.
constexpr int low_bits(int value) { return value & 0x0F; }
constexpr int low_bits(NmtState s) { return low_bits(static_cast<int>(s)); }

// Text of a state.
const char* condition_text(int value) {
  switch (low_bits(value)) {
    case 2:
      return "Error";
    case low_bits(NmtState::kStopped):
      return "Stopped";
    case low_bits(NmtState::kOperational):
      return "Operational";
    case low_bits(NmtState::kPreOperational):
      return "Preoperational";
    default:
      return "default Error";
  }
}

}  // namespace

D_Alive::D_Alive(const std::string& name, int* ptr, D_can* can, EqFct* eq)
    : D_int_ptr(name, ptr, eq), can_(can), eq_fct_(eq) {}

D_Alive::~D_Alive() = default;

void D_Alive::set_value(int s) {
  D_int_ptr::set_value(s);
  if (can_) can_->show_condition(condition_text(s));
}

int D_Alive::can_read(int ident, CMSG* rxmsg, int* l) {
  if (!l || !rxmsg || *l <= 0) return 0;
  for (int i = 0; i < *l; ++i) {
    const CMSG& m = rxmsg[i];
    if (m.id != co::error_control_id(ident) || m.len != 1) continue;
    D_int_ptr::set_value(m.data[0]);
    return co::nmt_state_of(m.data[0]) == NmtState::kOperational ? kFound : 0;
  }
  return 0;
}

int D_Alive::check_alive(int ident, CMSG* rxmsg, int* l) {
  if (can_read(ident, rxmsg, l) != kFound) return 0;
  set_value(value());
  return kFound;
}

bool D_Alive::isalive() { return low_bits(value()) == low_bits(NmtState::kOperational); }
