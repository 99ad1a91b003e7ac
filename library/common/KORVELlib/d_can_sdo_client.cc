// SDO client for any object: upload into a caller's buffer and download of a caller's bytes,
// expedited or segmented, on a driver handle of the device's own that only SDO replies reach.
// Waits block in canRead; their time-outs run on the service clock (korvel::monotonic_ms).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "D_korvel.h"
#include "canopen/cob_id.h"
#include "canopen/sdo.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

namespace co = korvel::canopen;
using co::SdoAbort;
using co::SdoKind;

// The client's handle on the device's net: replies come one per request, so a short queue
// holds them; canRead returns after kWaitSliceMs without a frame, so that a waiting transfer
// looks at the service clock that often: a time-out ends at most that much after it is due
// (and the wait costs next to nothing meanwhile).
constexpr int32_t kClientTxQueue = 10;
constexpr int32_t kClientRxQueue = 16;
constexpr int32_t kClientTxTimeoutMs = 1000;
constexpr int32_t kWaitSliceMs = 10;

// One device (line, node-ID) as the SDO client sees it. Kept for the life of the process.
struct Channel {
  std::mutex transfer;       // held for one whole transfer: transfers run one after the other
  NTCAN_HANDLE handle = -1;  // the client's handle, opened on first use; under `transfer`
};

Channel& channel_of(int line, int node_id) {
  static auto* mx = new std::mutex();
  static auto* channels = new std::map<std::pair<int, int>, Channel*>();
  std::lock_guard<std::mutex> lk(*mx);
  Channel*& c = (*channels)[{line, node_id}];
  if (!c) c = korvel::kept(new Channel());
  return *c;
}

// One transfer: holds the device's channel, sends requests, waits for replies, aborts.
class Transfer {
 public:
  Transfer(Channel& ch, int net, int node_id, int index, int subindex, int timeout_ms,
           D_can::sdo_outcome& outcome)
      : ch_(ch),
        lock_(ch.transfer),
        net_(net),
        node_id_(node_id),
        index_(static_cast<std::uint16_t>(index)),
        subindex_(static_cast<std::uint8_t>(subindex)),
        timeout_ms_(timeout_ms),
        outcome_(outcome) {}

  // Opens the client's handle if needed and drops replies left over from an earlier
  // transfer (a device that answered after its time-out). A handle that fails here (closed
  // under the client, a lost gateway connection) is replaced once.
  int start() {
    for (int attempt = 0;; ++attempt) {
      if (ch_.handle < 0) {
        const int r = open_handle();
        if (r != 0) return r;
      }
      const int r = drain();
      if (r == 0) return 0;
      fail_handle(r);
      if (attempt > 0) return r;
    }
  }

  int upload(unsigned char* buffer, int capacity, int* size) {
    int r = send(co::sdo_initiate_upload_request(index_, subindex_));
    if (r != 0) return r;
    co::SdoMessage m;
    r = await(m, [&](const co::SdoMessage& f) {
      return f.kind == SdoKind::kInitiateUpload && is_ours(f);
    });
    if (r != 0) return r;

    if (m.expedited) {
      // Expedited: the data are in the reply; without a size, as many as the frame carries.
      if (m.truncated) return abort(SdoAbort::kGeneral);
      const int n = static_cast<int>(m.data_len);
      if (n > capacity) return abort(SdoAbort::kOutOfMemory);
      std::memcpy(buffer, m.data.data(), m.data_len);
      *size = n;
      return 0;
    }
    // Segmented: an announced size tells at once whether the object can fit.
    if (m.size_indicated && !m.truncated && m.size > static_cast<std::uint32_t>(capacity)) {
      return abort(SdoAbort::kOutOfMemory);
    }
    int offset = 0;
    int empty = 0;  // segments without data that were not the last
    for (bool toggle = false;; toggle = !toggle) {
      r = send(co::sdo_upload_segment_request(toggle));
      if (r != 0) return r;
      r = await(m, [](const co::SdoMessage& f) { return f.kind == SdoKind::kUploadSegment; });
      if (r != 0) return r;
      if (m.toggle != toggle) return abort(SdoAbort::kToggleNotAlternated);
      if (m.truncated) return abort(SdoAbort::kGeneral);
      const int n = static_cast<int>(m.data_len);
      if (n > capacity - offset) return abort(SdoAbort::kOutOfMemory);
      if (n > 0) std::memcpy(buffer + offset, m.data.data(), m.data_len);
      offset += n;
      if (m.last) break;
      // Data are bounded by the capacity; segments without any are bounded here, so that a
      // device cannot hold the caller and its channel for ever.
      if (n == 0 && ++empty > D_can::kSdoEmptySegmentsMax) return abort(SdoAbort::kGeneral);
    }
    *size = offset;
    return 0;
  }

  int download(const unsigned char* data, int size) {
    const bool expedited = size <= static_cast<int>(co::kSdoExpeditedMax);
    int r = send(expedited ? co::sdo_initiate_download_expedited(index_, subindex_, data,
                                                                 static_cast<std::size_t>(size))
                           : co::sdo_initiate_download_segmented(index_, subindex_,
                                                                 static_cast<std::uint32_t>(size)));
    if (r != 0) return r;
    co::SdoMessage m;
    r = await(m, [&](const co::SdoMessage& f) {
      return f.kind == SdoKind::kInitiateDownload && is_ours(f);
    });
    if (r != 0 || expedited) return r;

    int offset = 0;
    for (bool toggle = false; offset < size; toggle = !toggle) {
      const int n = std::min(static_cast<int>(co::kSdoSegmentMax), size - offset);
      const bool last = offset + n == size;
      r = send(co::sdo_download_segment_request(toggle, data + offset, static_cast<std::size_t>(n),
                                                last));
      if (r != 0) return r;
      r = await(m, [](const co::SdoMessage& f) { return f.kind == SdoKind::kDownloadSegment; });
      if (r != 0) return r;
      if (m.toggle != toggle) return abort(SdoAbort::kToggleNotAlternated);
      offset += n;
    }
    return 0;
  }

 private:
  static constexpr int kBatch = kClientRxQueue;

  int open_handle() {
    NTCAN_HANDLE h = -1;
    int r = canOpen(net_, 0, kClientTxQueue, kClientRxQueue, kClientTxTimeoutMs, kWaitSliceMs, &h);
    if (r != 0) return r;
    r = canIdAdd(h, co::sdo_response_id(node_id_));
    if (r != 0 && r != NTCAN_ID_ALREADY_ENABLED) {
      canClose(h);
      return r;
    }
    ch_.handle = h;
    return 0;
  }

  int drain() {
    for (;;) {
      int32_t n = kBatch;
      const int r = canTake(ch_.handle, batch_, &n);
      if (r != 0 || n <= 0) return r;
    }
  }

  // A reply or abort that names the object of this transfer.
  bool is_ours(const co::SdoMessage& m) const {
    return m.has_object && m.index == index_ && m.subindex == subindex_;
  }

  // Sends a request; the wait for its reply counts from just before it goes out.
  int send(const co::SdoData& data) {
    due_ = korvel::monotonic_ms() + timeout_ms_;
    return put(data);
  }

  int put(const co::SdoData& data) {
    CMSG m{};
    m.id = co::sdo_request_id(node_id_);
    m.len = 8;
    std::memcpy(m.data, data.data(), 8);
    int32_t one = 1;
    const int r = canSend(ch_.handle, &m, &one);
    return r == 0 ? 0 : fail_handle(r);
  }

  // The client ends the transfer on the bus and reports it.
  int abort(SdoAbort code) {
    put(co::sdo_abort_transfer(index_, subindex_, code));  // failed whether or not it goes out
    outcome_.abort_code = co::code_of(code);
    outcome_.by_device = false;
    return korvel::kFailed;
  }

  // Waits, until timeout_ms after the last request went out, for the device's reply that
  // `expected` accepts, or its abort of this object. Other frames (replies to another client
  // of the device, answers that are not for this step) are passed over. 0 with the reply in
  // m; -1 after an abort (received, whatever its code, or, on a time-out, sent); else the
  // status of the failing driver call.
  template <class Expected>
  int await(co::SdoMessage& m, Expected expected) {
    bool last_look = false;
    for (;;) {
      for (; next_ < taken_; ++next_) {
        if (batch_[next_].id != co::sdo_response_id(node_id_)) continue;
        const co::SdoMessage f = korvel::sdo_reply_of(batch_[next_]);
        if (f.kind == SdoKind::kAbort && is_ours(f)) {
          outcome_.abort_code = f.abort_code;  // as the device sent it, 0 included
          outcome_.by_device = true;
          ++next_;
          return korvel::kFailed;
        }
        if (expected(f)) {
          m = f;
          ++next_;
          return 0;
        }
      }
      if (last_look) return abort(SdoAbort::kTimedOut);
      int32_t n = kBatch;
      int r;
      if (korvel::monotonic_ms() >= due_) {
        // Time is up (also while other frames keep coming): one last look, without waiting,
        // at what arrived meanwhile, so that a reply that came in time is never refused.
        last_look = true;
        r = canTake(ch_.handle, batch_, &n);
      } else {
        r = canRead(ch_.handle, batch_, &n, nullptr);
      }
      if (r != 0 && r != NTCAN_RX_TIMEOUT) return fail_handle(r);
      taken_ = r == 0 ? std::max(0, std::min<int>(n, kBatch)) : 0;
      next_ = 0;
    }
  }

  // A failing driver call ends the transfer; the handle is closed so that the next transfer
  // starts on a fresh one (after a lost gateway connection, for example).
  int fail_handle(int status) {
    canClose(ch_.handle);
    ch_.handle = -1;
    taken_ = next_ = 0;
    return status;
  }

  Channel& ch_;
  std::lock_guard<std::mutex> lock_;
  const int net_;
  const int node_id_;
  const std::uint16_t index_;    // checked by the caller: 0..0xFFFF
  const std::uint8_t subindex_;  // 0..0xFF
  const int timeout_ms_;
  std::int64_t due_ = 0;  // service time at which the reply to the last request is late
  D_can::sdo_outcome& outcome_;
  CMSG batch_[kBatch];
  int taken_ = 0;
  int next_ = 0;
};

bool valid_object(int index, int subindex) {
  return index >= 0 && index <= 0xFFFF && subindex >= 0 && subindex <= 0xFF;
}

}  // namespace

std::unique_lock<std::mutex> korvel::hold_sdo_channel(int line, int node_id) {
  return std::unique_lock<std::mutex>(channel_of(line, node_id).transfer);
}

int D_can::sdo_read(int index, int subindex, unsigned char* buffer, int capacity, int* size,
                    sdo_outcome* outcome, int timeout_ms) {
  sdo_outcome ignored;
  sdo_outcome& out = outcome ? *outcome : ignored;
  out = sdo_outcome();
  if (size) *size = 0;
  const int node_id = canIdent_.i2_data;
  if (!size || !valid_object(index, subindex) || capacity < 0 || (capacity > 0 && !buffer) ||
      timeout_ms <= 0 || !co::valid_node_id(node_id)) {
    return NTCAN_INVALID_PARAMETER;
  }
  canline* line = pline_;
  if (!line || handle() < 0) return NTCAN_INVALID_HANDLE;
  Transfer t(channel_of(line->line(), node_id), line->line() - 1, node_id, index, subindex,
             timeout_ms, out);
  int r = t.start();
  if (r == 0) r = t.upload(buffer, capacity, size);
  if (r != 0) *size = 0;
  return r;
}

int D_can::sdo_write(int index, int subindex, const unsigned char* data, int size,
                     sdo_outcome* outcome, int timeout_ms) {
  sdo_outcome ignored;
  sdo_outcome& out = outcome ? *outcome : ignored;
  out = sdo_outcome();
  const int node_id = canIdent_.i2_data;
  if (!data || size < 1 || !valid_object(index, subindex) || timeout_ms <= 0 ||
      !co::valid_node_id(node_id)) {
    return NTCAN_INVALID_PARAMETER;
  }
  canline* line = pline_;
  if (!line || handle() < 0) return NTCAN_INVALID_HANDLE;
  Transfer t(channel_of(line->line(), node_id), line->line() - 1, node_id, index, subindex,
             timeout_ms, out);
  const int r = t.start();
  return r != 0 ? r : t.download(data, size);
}
