// Frame primitives of a node: send, waiting and non-blocking receive, request and poll for
// the reply, the periodic fill of the receive buffer, remote requests, SDO read requests.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen/sdo.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

using korvel::kFailed;
using korvel::kNoReply;
using korvel::kRxCapacity;

constexpr int kPolls = 50;
constexpr long kPollPauseNs = 5000000;  // 5 ms
constexpr int kPollBatch = 10;
constexpr int kMaxData = 8;

bool valid_length(int length) { return length >= 0 && length <= kMaxData; }

// Does `reply` answer `request`? The SDO multiplexer (data bytes 1 to 3) must agree; only the
// bytes that the request carries are compared, and a reply must carry them too. A request of
// one byte or none thus takes the first data frame that arrives. Remote requests never answer.
bool answers(const CMSG& request, const CMSG& reply) {
  if (reply.len & NTCAN_RTR) return false;
  const int req_len = NTCAN_DLC(request.len);
  const int rep_len = std::min<int>(NTCAN_DLC(reply.len), kMaxData);
  for (int j = 1; j <= 3 && j < req_len; ++j) {
    if (j >= rep_len || reply.data[j] != request.data[j]) return false;
  }
  return true;
}

}  // namespace

int D_can::can_write(int ident, int length, unsigned char* Data) {
  if (!valid_length(length) || (length > 0 && !Data)) return NTCAN_INVALID_PARAMETER;
  const NTCAN_HANDLE h = handle();
  if (h < 0) return korvel::kNoUsableLine;
  CMSG m{};
  m.id = ident;
  m.len = static_cast<uint8_t>(length);
  if (length > 0) std::memcpy(m.data, Data, static_cast<std::size_t>(length));
  int32_t count = 1;
  return canSend(h, &m, &count);
}

int D_can::can_read(CMSG* rxmsg, int* length) {
  if (!length) return NTCAN_INVALID_PARAMETER;
  int32_t count = *length;
  *length = -1;
  const NTCAN_HANDLE h = handle();
  if (h < 0) return korvel::kNoUsableLine;
  const int r = canRead(h, rxmsg, &count, nullptr);
  *length = count;
  if (can_ret_) *can_ret_ = r;
  return r;
}

int D_can::can_get(CMSG* rxmsg, int* length) {
  if (!length) return NTCAN_INVALID_PARAMETER;
  int32_t count = *length;
  *length = -1;
  const NTCAN_HANDLE h = handle();
  if (h < 0) return korvel::kNoUsableLine;
  const int r = canTake(h, rxmsg, &count);
  *length = count;
  if (can_ret_) *can_ret_ = r;
  return r;
}

int D_can::can_poll(int* ident, int* length, unsigned char* Data) {
  if (!ident || !length || !valid_length(*length) || (*length > 0 && !Data))
    return NTCAN_INVALID_PARAMETER;
  CMSG request{};
  request.id = *ident;
  request.len = static_cast<uint8_t>(*length);
  if (*length > 0) std::memcpy(request.data, Data, static_cast<std::size_t>(*length));

  const NTCAN_HANDLE h = handle();
  if (h < 0) return korvel::kNoUsableLine;
  int32_t one = 1;
  const int sent = canSend(h, &request, &one);
  if (sent != 0) return sent;

  for (int poll = 0; poll < kPolls; ++poll) {
    const timespec pause{0, kPollPauseNs};
    nanosleep(&pause, nullptr);
    CMSG batch[kPollBatch];
    int32_t n = kPollBatch;
    if (canTake(handle(), batch, &n) != 0 || n <= 0) continue;
    for (int i = 0; i < n && i < kPollBatch; ++i) {
      if (!answers(request, batch[i])) continue;
      // Never more than the 8 data bytes of a frame: *length is the number of bytes copied.
      const int copied = std::min<int>(NTCAN_DLC(batch[i].len), kMaxData);
      *ident = batch[i].id;
      *length = copied;
      std::memcpy(Data, batch[i].data, static_cast<std::size_t>(copied));
      if (can_ret_) *can_ret_ = 0;
      return 0;
    }
  }
  if (can_ret_) *can_ret_ = kNoReply;
  return kNoReply;
}

int D_can::can_fill() {
  if (!rxmsg_) return kFailed;
  *rxmsg_len_ = kRxCapacity;
  *can_ret_ = can_get(rxmsg_, rxmsg_len_);
  return *can_ret_;
}

int D_can::fill_plain() {
  if (!rxmsg_) return kFailed;
  *rxmsg_len_ = kRxCapacity;
  *can_ret_ = D_can::can_get(rxmsg_, rxmsg_len_);
  return *can_ret_;
}

void D_can::prefetch_fill() const {
  __builtin_prefetch(pline_);
  __builtin_prefetch(pair_handle_);  // the receive buffer's scalars: pair cell, length, status
}

int D_can::can_array(CMSG* rxmsg, int* length) {
  if (!rxmsg || !length) return kFailed;
  // A consistent batch: the fill of another thread's can_looping runs under the same lock.
  korvel::LoopLock lk;
  if (!pline_ || pline_->handle() <= 0 || handle() == -1 || !rxmsg_len_ || !rxmsg_) {
    return kFailed;
  }
  const int n = *rxmsg_len_;
  if (n < 0) {
    *length = 0;
  } else {
    const int copied = std::min(n, kRxCapacity);
    std::memcpy(rxmsg, rxmsg_, sizeof(CMSG) * static_cast<std::size_t>(copied));
    *length = copied;
  }
  return *can_ret_;
}

int D_can::can_SDO(unsigned short index, unsigned char subindex) {
  korvel::canopen::SdoData data = korvel::canopen::sdo_initiate_upload_request(index, subindex);
  return can_write(korvel::canopen::sdo_request_id(canIdent_.i2_data), 8, data.data());
}

int D_can::send_rtr(int ident, int len) {
  const NTCAN_HANDLE h = handle();
  if (h < 0) return korvel::kNoUsableLine;
  CMSG m{};
  m.id = ident;
  m.len = static_cast<uint8_t>(len | NTCAN_RTR);
  int32_t count = 1;
  return canSend(h, &m, &count);
}

int D_can::rtr(int* ident) {
  if (!ident) return NTCAN_INVALID_PARAMETER;
  return send_rtr(*ident, 0);
}

int D_can::rtr(int* ident, int l) {
  if (!ident || !valid_length(l)) return NTCAN_INVALID_PARAMETER;
  return send_rtr(*ident, l);
}

int D_can::rtr() { return send_rtr(korvel::canopen::error_control_id(canIdent_.i2_data), 0); }
