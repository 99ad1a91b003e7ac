// The logging of a device's emergency frames.
#include <algorithm>
#include <cstdio>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

int D_can::can_emergency(int ident, CMSG* rxmsg, int* l) {
  if (!l || !rxmsg || *l <= 0) return 0;
  for (int i = 0; i < *l; ++i) {
    const CMSG& m = rxmsg[i];
    if (m.id != korvel::canopen::emcy_id(ident) || (m.len & NTCAN_RTR)) continue;
    char text[8 * 5 + 1] = "";  // "0x%X " of at most eight bytes: 40 characters
    int used = 0;
    const int n = std::min<int>(m.len, 8);
    for (int j = 0; j < n; ++j) {
      used += std::snprintf(text + used, sizeof text - used, "0x%X ", m.data[j]);
    }
    korvel::log("D_can::can_emergency", text);
    return korvel::kFound;
  }
  return 0;
}
