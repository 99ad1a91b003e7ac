// A driver of the test's own: the nine NTCAN functions over one loopback net, with every
// frame sent kept for the test. Linked in place of our ntcan library, it shows that the
// library needs nothing of a driver beyond these nine functions.
#include "tiny_driver.h"

#include <mutex>

namespace tiny {

namespace {
std::mutex mx;
Record record;
}  // namespace

Record snapshot() {
  std::lock_guard<std::mutex> lk(mx);
  return record;
}

void push_rx(const CMSG& m) {
  std::lock_guard<std::mutex> lk(mx);
  record.rx.push_back(m);
}

}  // namespace tiny

using tiny::mx;
using tiny::record;

extern "C" {

NTCAN_RESULT canOpen(int net, uint32_t, int32_t, int32_t, int32_t, int32_t, NTCAN_HANDLE* handle) {
  std::lock_guard<std::mutex> lk(mx);
  if (net != 0) return NTCAN_NET_NOT_FOUND;
  *handle = ++record.opened;
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canClose(NTCAN_HANDLE) {
  std::lock_guard<std::mutex> lk(mx);
  ++record.closed;
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE, uint32_t baud) {
  std::lock_guard<std::mutex> lk(mx);
  record.baud = baud;
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canIdAdd(NTCAN_HANDLE, int32_t id) {
  std::lock_guard<std::mutex> lk(mx);
  record.ids.push_back(id);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canIdDelete(NTCAN_HANDLE, int32_t) { return NTCAN_SUCCESS; }

NTCAN_RESULT canSend(NTCAN_HANDLE, CMSG* cmsg, int32_t* len) {
  std::lock_guard<std::mutex> lk(mx);
  for (int i = 0; i < *len; ++i) record.sent.push_back(cmsg[i]);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canTake(NTCAN_HANDLE, CMSG* cmsg, int32_t* len) {
  std::lock_guard<std::mutex> lk(mx);
  int n = 0;
  while (n < *len && !record.rx.empty()) {
    cmsg[n++] = record.rx.front();
    record.rx.erase(record.rx.begin());
  }
  *len = n;
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canRead(NTCAN_HANDLE h, CMSG* cmsg, int32_t* len, void*) {
  const NTCAN_RESULT r = canTake(h, cmsg, len);
  return (r == NTCAN_SUCCESS && *len == 0) ? NTCAN_RX_TIMEOUT : r;
}

NTCAN_RESULT canStatus(NTCAN_HANDLE, CAN_IF_STATUS* st) {
  *st = CAN_IF_STATUS{};
  return NTCAN_SUCCESS;
}

}  // extern "C"
