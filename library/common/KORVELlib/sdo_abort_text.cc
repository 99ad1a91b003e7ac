// Operator texts of the SDO abort codes: the node's name for canopen's one table of them.
#include <string>

#include "D_korvel.h"
#include "canopen/sdo_abort.h"

std::string D_can::sdo_abort_text(std::uint32_t code) {
  return korvel::canopen::sdo_abort_text(code);
}
