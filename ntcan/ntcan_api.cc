// ntcan_api.cc - the nine NTCAN functions: argument checks, handle bookkeeping, faults and
// the call record over the transport of each net.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "can_frame.h"
#include "driver_state.h"
#include "ntcan.h"

namespace {

using ntcan_driver::DriverState;
using ntcan_driver::Handle;

// One call on its way into the record; done() records it and returns the result.
// Used with the driver lock held.
class Recorded {
 public:
  Recorded(DriverState& d, const char* op, NTCAN_HANDLE handle) : d_(d) {
    call_.op = op;
    call_.handle = handle;
    call_.net = -1;
    call_.result = NTCAN_SUCCESS;
  }
  ntcan_sim::Call& call() { return call_; }
  int done(int result) {
    call_.result = result;
    d_.calls.add(std::move(call_));
    return result;
  }

 private:
  DriverState& d_;
  ntcan_sim::Call call_;
};

// The open handle, with the call's net filled in; null if the handle is unknown or closed.
std::shared_ptr<Handle> find(DriverState& d, Recorded& rec, NTCAN_HANDLE handle) {
  auto h = d.handles.find(handle);
  if (h) rec.call().net = h->net();
  return h;
}

// A call of canSend, canRead or canTake: the count *len goes into the record, and a failing
// call leaves *len at 0.
class FrameCall : public Recorded {
 public:
  FrameCall(DriverState& d, const char* op, NTCAN_HANDLE handle, int32_t* len) : Recorded(d, op, handle), len_(len) {
    if (len != nullptr) call().args = {*len};
  }
  int fail(int status) {
    if (len_ != nullptr) *len_ = 0;
    return done(status);
  }
  // The open handle when it and the buffer arguments are usable; else null, and the call has
  // failed with result().
  std::shared_ptr<Handle> start(DriverState& d, NTCAN_HANDLE handle, const CMSG* cmsg) {
    auto h = find(d, *this, handle);
    if (!h) {
      result_ = fail(NTCAN_INVALID_HANDLE);
    } else if (cmsg == nullptr || len_ == nullptr || *len_ < 1) {
      result_ = fail(NTCAN_INVALID_PARAMETER);
      h = nullptr;
    }
    return h;
  }
  int result() const { return result_; }

 private:
  int32_t* len_;
  int result_ = NTCAN_SUCCESS;
};

NTCAN_RESULT receive(const char* op, NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, bool wait) {
  DriverState& d = ntcan_driver::driver_state();
  std::unique_lock<std::mutex> lock(d.mx);
  FrameCall rec(d, op, handle, len);
  auto h = rec.start(d, handle, cmsg);
  if (!h) return rec.result();
  auto fail = [&](int status) { return rec.fail(status); };
  const int capacity = *len;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait ? std::max(0, h->args().rx_timeout_ms) : 0);
  for (;;) {
    if (h->closed()) return fail(NTCAN_OPERATION_ABORTED);  // closed while this call waited
    if (d.faults[static_cast<std::size_t>(h->net())].down) return fail(NTCAN_SOCK_CMD_TIMEOUT);
    const int fetched = h->fetch();
    if (fetched != NTCAN_SUCCESS) return fail(fetched);  // e.g. a gateway connection that was lost
    if (h->queue().size() > 0) {
      int n = h->queue().take(cmsg, capacity);
      *len = n;
      rec.call().frames.assign(cmsg, cmsg + n);
      return rec.done(NTCAN_SUCCESS);
    }
    if (!wait) return fail(NTCAN_SUCCESS);
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= decltype(left)::zero()) return fail(NTCAN_RX_TIMEOUT);
    lock.unlock();  // h keeps the port alive even if another thread closes the handle meanwhile
    h->port().wait(std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    lock.lock();
  }
}

// canIdAdd / canIdDelete: one identifier of a handle's filter, and of its port's own filter.
NTCAN_RESULT change_id(const char* op, NTCAN_HANDLE handle, int32_t id, bool enable) {
  DriverState& d = ntcan_driver::driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  Recorded rec(d, op, handle);
  rec.call().args = {id};
  auto h = find(d, rec, handle);
  if (!h) return rec.done(NTCAN_INVALID_HANDLE);
  // Frames that arrived before this call are judged by the filter as it was.
  if (!d.faults[static_cast<std::size_t>(h->net())].down) h->fetch();
  const int status = enable ? h->filter().enable(id) : h->filter().disable(id);
  if (status == NTCAN_SUCCESS) h->port().id_enabled(id, enable);
  return rec.done(status);
}

}  // namespace

extern "C" {

NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize, int32_t txtimeout,
                     int32_t rxtimeout, NTCAN_HANDLE* handle) {
  DriverState& d = ntcan_driver::driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  Recorded rec(d, "canOpen", NTCAN_NO_HANDLE);
  rec.call().net = net;
  rec.call().args = {net, static_cast<long>(flags), txqueuesize, rxqueuesize, txtimeout, rxtimeout};
  if (handle == nullptr) return rec.done(NTCAN_INVALID_PARAMETER);
  *handle = NTCAN_NO_HANDLE;
  if (!ntcan_driver::valid_net(net)) return rec.done(NTCAN_NET_NOT_FOUND);
  if (rxqueuesize < 1) return rec.done(NTCAN_INVALID_PARAMETER);
  auto& faults = d.faults[static_cast<std::size_t>(net)];
  int status = NTCAN_SUCCESS;
  if (faults.open.trip(status)) return rec.done(status);
  if (faults.down) return rec.done(faults.down_open_status);
  auto port = ntcan_driver::transport_for_net(net).open(net, status);
  if (!port) return rec.done(status);
  ntcan_driver::OpenArgs args{flags, txqueuesize, rxqueuesize, txtimeout, rxtimeout};
  auto h = d.handles.add(net, args, std::move(port));
  *handle = h->id();
  rec.call().handle = h->id();
  return rec.done(NTCAN_SUCCESS);
}

NTCAN_RESULT canClose(NTCAN_HANDLE handle) {
  DriverState& d = ntcan_driver::driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  Recorded rec(d, "canClose", handle);
  if (!find(d, rec, handle)) return rec.done(NTCAN_INVALID_HANDLE);
  auto h = d.handles.remove(handle);
  h->close();
  int status = NTCAN_SUCCESS;
  d.faults[static_cast<std::size_t>(h->net())].close.trip(status);  // released all the same
  return rec.done(status);
}

NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud) {
  DriverState& d = ntcan_driver::driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  Recorded rec(d, "canSetBaudrate", handle);
  rec.call().args = {static_cast<long>(baud)};
  auto h = find(d, rec, handle);
  if (!h) return rec.done(NTCAN_INVALID_HANDLE);
  const auto net = static_cast<std::size_t>(h->net());
  int status = NTCAN_SUCCESS;
  if (d.faults[net].baudrate.trip(status)) return rec.done(status);
  status = h->port().set_baudrate(baud);
  if (status == NTCAN_SUCCESS) d.baudrate[net] = baud;
  return rec.done(status);
}

NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id) { return change_id("canIdAdd", handle, id, true); }

NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id) { return change_id("canIdDelete", handle, id, false); }

NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len) {
  DriverState& d = ntcan_driver::driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  FrameCall rec(d, "canSend", handle, len);
  auto h = rec.start(d, handle, cmsg);
  if (!h) return rec.result();
  auto fail = [&](int status) { return rec.fail(status); };
  const int count = *len;
  if (!std::all_of(cmsg, cmsg + count, ntcan_driver::valid_frame)) return fail(NTCAN_INVALID_PARAMETER);
  if (d.faults[static_cast<std::size_t>(h->net())].down) return fail(NTCAN_SOCK_CMD_TIMEOUT);
  int sent = 0;
  int status = h->port().send(cmsg, count, sent);
  *len = sent;
  rec.call().frames.assign(cmsg, cmsg + sent);
  return rec.done(status);
}

NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, void* ovrlppd) {
  (void)ovrlppd;  // overlapped reads are not supported; the call is always synchronous
  return receive("canRead", handle, cmsg, len, true);
}

NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len) {
  return receive("canTake", handle, cmsg, len, false);
}

NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* cstat) {
  DriverState& d = ntcan_driver::driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  Recorded rec(d, "canStatus", handle);
  auto h = find(d, rec, handle);
  if (!h) return rec.done(NTCAN_INVALID_HANDLE);
  if (cstat == nullptr) return rec.done(NTCAN_INVALID_PARAMETER);
  auto& faults = d.faults[static_cast<std::size_t>(h->net())];
  int status = NTCAN_SUCCESS;
  if (faults.status.trip(status)) return rec.done(status);
  if (faults.down) return rec.done(NTCAN_SOCK_CMD_TIMEOUT);
  std::memset(cstat, 0, sizeof *cstat);
  status = h->port().status(*cstat);
  cstat->dll = ntcan_driver::kDllVersion;
  if (faults.boardstatus) cstat->boardstatus = *faults.boardstatus;
  return rec.done(status);
}

}  // extern "C"
