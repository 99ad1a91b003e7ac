// Creation of a node's sub-properties.
#include <mutex>
#include <string>

#include "D_korvel.h"
#include "korvel_internal.h"

namespace {

using korvel::kept;

// The node's base name: its name up to the first blank (the description is dropped).
std::string base_name(const std::string& pn) {
  const std::size_t blank = pn.find(' ');
  return blank == std::string::npos ? pn : pn.substr(0, blank);
}

}  // namespace

void D_can::construct(const std::string& pn) {
  canhandle_ = -1;
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;

  const std::string base = base_name(pn);
  EqFct* loc = efp_;
  // Sub-properties live for the whole process, also after the node itself is destroyed.
  baudrate_ = kept(new D_int(base + ".BAUDRATE default 6 == 125KB ", loc));
  alive_ = kept(new D_Alive(base + ".ALIVE ", alive_ptr_, this, loc));
  modul_condition_ = kept(new D_string(base + ".CONDITION ", loc));
  manu_ =
      kept(new D_string(base + ".MANU Manufacture device name", manu_str_, sizeof manu_str_, loc));
  hwver_ = kept(new D_string(base + ".HWVER hardware version", hw_str_, sizeof hw_str_, loc));
  swver_ = kept(new D_string(base + ".SWVER software version", sw_str_, sizeof sw_str_, loc));
  start_node_ = kept(new D_canint(base + ".START can node", START_NODE, this, loc));
  stop_node_ = kept(new D_canint(base + ".STOP can node", STOP_NODE, this, loc));
  reset_node_ = kept(new D_canint(base + ".RESET can node", RESET_NODE, this, loc));
  active_ = kept(new D_canactive(base + ".ACTIVE is the master", loc));
  device_file_ = kept(new D_canfile(base + ".DEVICE_FILE description file (EDS or DCF)", loc));
  active_->set_value(0);

  // Nodes may be constructed on several server threads: only one creates the selector.
  static std::mutex debug_mx;
  std::lock_guard<std::mutex> lk(debug_mx);
  if (!canIdent_debug_)
    canIdent_debug_ = kept(new D_iiii(base + ".DEBUG_ID to print this ID data", loc));
}
