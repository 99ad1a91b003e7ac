// ntcan_api.cc - the nine NTCAN functions: argument checks and handle bookkeeping over the
// transport of each net, plus the test controls (fault switches, call record) when a test
// switched them on.
//
// No call holds anything shared with other nets while its transport works: the handle table
// is locked only to find, add or remove a handle, and a handle's own locks guard only its
// identifiers and its queue. So a gateway that hangs delays the calls on its own handles,
// never those on another net.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "canbus/can_frame.h"
#include "driver_state.h"
#include "ntcan.h"
#include "transport_for_net.h"

namespace {

using ntcan_driver::DriverState;
using ntcan_driver::Handle;
using Fault = ntcan_driver::TestHooks::Fault;

// One call on its way into the record; done() records it and returns the result. Builds
// nothing while the record is off.
class Recorded {
 public:
  Recorded(DriverState& d, const char* op, NTCAN_HANDLE handle) : d_(d), on_(d.hooks.recording()) {
    if (!on_) return;
    call_.op = op;
    call_.handle = handle;
    call_.net = -1;
    call_.result = NTCAN_SUCCESS;
  }
  void net(int net) {
    if (on_) call_.net = net;
  }
  void handle(NTCAN_HANDLE h) {
    if (on_) call_.handle = h;
  }
  void args(std::initializer_list<long> values) {
    if (on_) call_.args = values;
  }
  void frames(const CMSG* first, int count) {
    if (on_) call_.frames.assign(first, first + count);
  }
  int done(int result) {
    if (on_) {
      call_.result = result;
      d_.hooks.record(std::move(call_));
    }
    return result;
  }

 private:
  DriverState& d_;
  const bool on_;
  ntcan_test::Call call_;
};

// The open handle, with the call's net filled in; null if the handle is unknown or closed.
std::shared_ptr<Handle> find(DriverState& d, Recorded& rec, NTCAN_HANDLE handle) {
  auto h = d.handles.find(handle);
  if (h) rec.net(h->net());
  return h;
}

bool net_down(DriverState& d, int net) { return d.hooks.net_down(net); }

// A call of canSend, canRead or canTake: the count *len goes into the record, and a failing
// call leaves *len at 0.
class FrameCall : public Recorded {
 public:
  FrameCall(DriverState& d, const char* op, NTCAN_HANDLE handle, int32_t* len)
      : Recorded(d, op, handle), len_(len) {
    if (len != nullptr) args({*len});
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

// canTake on a handle whose port needs no refresh, while no test control is on: the frames
// are taken under the handle table's lock, without touching the handle's reference count, so
// a poll of an idle handle reads little more than one line of it. -1: not such a call.
int quick_take(DriverState& d, NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len) {
  if (cmsg == nullptr || len == nullptr || *len < 1) return -1;
  if (d.hooks.recording() || d.hooks.armed()) return -1;
  return d.handles.visit(handle, [&](Handle* h) {
    if (h == nullptr) {
      *len = 0;
      return NTCAN_INVALID_HANDLE;
    }
    if (h->closed() || !h->quiet()) return -1;
    *len = h->inbox().take(cmsg, *len);
    return NTCAN_SUCCESS;
  });
}

NTCAN_RESULT receive(const char* op, NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, bool wait) {
  DriverState& d = ntcan_driver::driver_state();
  if (!wait) {
    const int quick = quick_take(d, handle, cmsg, len);
    if (quick >= 0) return quick;
  }
  FrameCall rec(d, op, handle, len);
  auto h = rec.start(d, handle, cmsg);
  if (!h) return rec.result();
  const int capacity = *len;
  // Only a waiting call reads the clock: a poll of an empty queue does not need it.
  const auto deadline = wait ? std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(std::max(0, h->args().rx_timeout_ms))
                             : std::chrono::steady_clock::time_point{};
  for (;;) {
    if (h->closed()) return rec.fail(NTCAN_OPERATION_ABORTED);  // closed while this call waited
    if (net_down(d, h->net())) return rec.fail(NTCAN_SOCK_CMD_TIMEOUT);
    const int refreshed = h->refresh();
    if (refreshed != NTCAN_SUCCESS) return rec.fail(refreshed);  // e.g. a lost connection
    const int n = h->inbox().take(cmsg, capacity);
    if (n > 0) {
      *len = n;
      rec.frames(cmsg, n);
      return rec.done(NTCAN_SUCCESS);
    }
    if (!wait) return rec.fail(NTCAN_SUCCESS);
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= decltype(left)::zero()) return rec.fail(NTCAN_RX_TIMEOUT);
    // h keeps the port and the inbox alive even if another thread closes the handle.
    h->port().wait(std::chrono::duration_cast<std::chrono::nanoseconds>(left));
  }
}

// canIdAdd / canIdDelete: one identifier of a handle; frames with it reach the handle's queue
// from now on (or no longer). Frames queued before stay.
NTCAN_RESULT change_id(const char* op, NTCAN_HANDLE handle, int32_t id, bool enable) {
  DriverState& d = ntcan_driver::driver_state();
  Recorded rec(d, op, handle);
  rec.args({id});
  auto h = find(d, rec, handle);
  if (!h) return rec.done(NTCAN_INVALID_HANDLE);
  return rec.done(h->change_id(id, enable));
}

}  // namespace

extern "C" {

NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize,
                     int32_t txtimeout, int32_t rxtimeout, NTCAN_HANDLE* handle) {
  DriverState& d = ntcan_driver::driver_state();
  Recorded rec(d, "canOpen", NTCAN_NO_HANDLE);
  rec.net(net);
  rec.args({net, static_cast<long>(flags), txqueuesize, rxqueuesize, txtimeout, rxtimeout});
  if (handle == nullptr) return rec.done(NTCAN_INVALID_PARAMETER);
  *handle = NTCAN_NO_HANDLE;
  if (!ntcan_driver::valid_net(net)) return rec.done(NTCAN_NET_NOT_FOUND);
  if (rxqueuesize < 1) return rec.done(NTCAN_INVALID_PARAMETER);
  int status = NTCAN_SUCCESS;
  if (d.hooks.trip(net, Fault::kOpen, status)) return rec.done(status);
  if (net_down(d, net)) return rec.done(d.hooks.down_open_status(net));
  // The transport connects holding nothing another call needs.
  const ntcan_driver::OpenArgs args{flags, txqueuesize, rxqueuesize, txtimeout, rxtimeout};
  auto h = d.handles.make(net, args);
  auto port = ntcan_driver::transport_for_net(net).open(net, h->inbox(), status);
  if (!port) return rec.done(status);
  h->attach(std::move(port));
  d.handles.add(h);
  *handle = h->id();
  rec.handle(h->id());
  return rec.done(NTCAN_SUCCESS);
}

NTCAN_RESULT canClose(NTCAN_HANDLE handle) {
  DriverState& d = ntcan_driver::driver_state();
  Recorded rec(d, "canClose", handle);
  auto h = d.handles.remove(handle);
  if (!h) return rec.done(NTCAN_INVALID_HANDLE);
  rec.net(h->net());
  h->close();
  int status = NTCAN_SUCCESS;
  d.hooks.trip(h->net(), Fault::kClose, status);  // released all the same
  return rec.done(status);
}

NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud) {
  DriverState& d = ntcan_driver::driver_state();
  Recorded rec(d, "canSetBaudrate", handle);
  rec.args({static_cast<long>(baud)});
  auto h = find(d, rec, handle);
  if (!h) return rec.done(NTCAN_INVALID_HANDLE);
  int status = NTCAN_SUCCESS;
  if (d.hooks.trip(h->net(), Fault::kBaudrate, status)) return rec.done(status);
  status = h->port().set_baudrate(baud);
  if (status == NTCAN_SUCCESS) d.hooks.baudrate_set(h->net(), baud);
  return rec.done(status);
}

NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id) {
  return change_id("canIdAdd", handle, id, true);
}

NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id) {
  return change_id("canIdDelete", handle, id, false);
}

NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len) {
  DriverState& d = ntcan_driver::driver_state();
  FrameCall rec(d, "canSend", handle, len);
  auto h = rec.start(d, handle, cmsg);
  if (!h) return rec.result();
  const int count = *len;
  if (!std::all_of(cmsg, cmsg + count, canbus::valid_frame))
    return rec.fail(NTCAN_INVALID_PARAMETER);
  if (net_down(d, h->net())) return rec.fail(NTCAN_SOCK_CMD_TIMEOUT);
  int sent = 0;
  const int status = h->port().send(cmsg, count, sent);
  *len = sent;
  rec.frames(cmsg, sent);
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
  Recorded rec(d, "canStatus", handle);
  auto h = find(d, rec, handle);
  if (!h) return rec.done(NTCAN_INVALID_HANDLE);
  if (cstat == nullptr) return rec.done(NTCAN_INVALID_PARAMETER);
  int status = NTCAN_SUCCESS;
  if (d.hooks.trip(h->net(), Fault::kStatus, status)) return rec.done(status);
  if (net_down(d, h->net())) return rec.done(NTCAN_SOCK_CMD_TIMEOUT);
  std::memset(cstat, 0, sizeof *cstat);
  status = h->port().status(*cstat);
  cstat->dll = ntcan_driver::kDllVersion;
  if (const auto board = d.hooks.boardstatus(h->net())) cstat->boardstatus = *board;
  return rec.done(status);
}

}  // extern "C"
