// Alive supervision: the device's NMT state from node guarding, shown with a condition text.
#include <string>

#include "D_korvel.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

using korvel::kFound;

// Text of a state: the low four bits of the value decide.
const char* condition_text(int value) {
  switch (value & 0x0F) {
    case 2:
      return "Error";
    case 4:
      return "Stopped";
    case 5:
      return "Operational";
    case 15:
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
  if (can_ && can_->modul_condition_) can_->modul_condition_->set_value(condition_text(s));
}

int D_Alive::can_read(int ident, CMSG* rxmsg, int* l) {
  if (!l || !rxmsg || *l <= 0) return 0;
  for (int i = 0; i < *l; ++i) {
    const CMSG& m = rxmsg[i];
    if (m.id != ident + korvel::kErrorControlBase || m.len != 1) continue;
    D_int_ptr::set_value(m.data[0]);
    return (m.data[0] & 0x7F) == korvel::kStateOperational ? kFound : 0;
  }
  return 0;
}

int D_Alive::check_alive(int ident, CMSG* rxmsg, int* l) {
  if (can_read(ident, rxmsg, l) != kFound) return 0;
  set_value(value());
  return kFound;
}

bool D_Alive::isalive() { return (value() & 0x0F) == korvel::kStateOperational; }
