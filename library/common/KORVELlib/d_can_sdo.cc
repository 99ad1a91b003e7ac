// SDO client: upload (expedited or segmented) of text objects of the device's object
// dictionary, used for the manufacturer name and the hardware and software versions.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "D_korvel.h"
#include "canopen_codes.h"
#include "korvel_internal.h"

namespace {

using korvel::kComplete;
using korvel::kFailed;
using korvel::kSdoAbort;
using korvel::kSdoAbortOutOfMemory;
using korvel::kSdoReplyBase;
using korvel::kSdoRequestBase;

constexpr int kWaitSeconds = 2;  // a wait ends once VEXILtime() is more than this past its start
constexpr int kBatch = 100;
constexpr std::size_t kTextBuffer = 64;

void log_error(const char* format, long value) {
  char line[200];
  std::snprintf(line, sizeof line, format, value);
  korvel::log("segSdoRead", line);
}

// Data bytes a received frame really carries.
int data_length(const CMSG& m) {
  if (m.len & NTCAN_RTR) return -1;  // a remote request is no SDO frame
  return std::min<int>(NTCAN_DLC(m.len), 8);
}

std::uint32_t little_endian32(const uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void print_abort(int code) {
  std::printf("Segmented transfer aborted with code 0x%X\n", static_cast<unsigned>(code));
  std::fflush(stdout);
}

// Takes frames from the node in batches until on_frame decides (returns true and sets the
// result) or more than kWaitSeconds pass by VEXILtime(). Replies are awaited by continuous
// non-blocking takes; a receive failure ends the wait with its status. The device's abort of
// the running transfer ends every wait, before on_frame sees the frame.
template <class OnFrame>
int wait_for_reply(D_can& node, OnFrame on_frame) {
  const std::time_t start = VEXILtime();
  CMSG batch[kBatch];
  while (true) {
    int n = kBatch;
    const int r = node.can_get(batch, &n);
    if (r != 0) return r;
    for (int i = 0; i < n && i < kBatch; ++i) {
      int code = 0;
      if (node.isAbort(&batch[i], &code)) {
        print_abort(code);
        return kFailed;
      }
      int result = 0;
      if (on_frame(batch[i], result)) return result;
    }
    if (VEXILtime() > start + kWaitSeconds) return kFailed;
  }
}

}  // namespace

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer) {
  return segSdoRead(node, idx, subIdx, buffer, kTextBuffer);
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer, std::size_t capacity) {
  if (!buffer || capacity == 0) return NTCAN_INVALID_PARAMETER;
  sdo_capacity_ = capacity;
  int offset = 0;

  const int e = initiateUpload(node, idx, subIdx);
  if (e != 0) {
    log_error("--Error: initiateUpload failed with error %ld", e);
    return e;
  }
  const int r = initUploadResponse(node, buffer, &offset);
  if (r == kComplete) return 0;
  if (r != 0) {
    log_error("--Error: initUploadResponse failed with error %ld", r);
    return r;
  }
  if (sdo_size_ >= 0 && static_cast<std::size_t>(sdo_size_) + 1 > capacity) {
    sdo_abort(node, kSdoAbortOutOfMemory);
    char line[200];
    std::snprintf(
        line, sizeof line,
        "--Error: object 0x%04X/%d announces %ld bytes, more than the buffer of %zu holds: aborted",
        static_cast<unsigned>(Index), Subindex, sdo_size_, capacity);
    korvel::log("segSdoRead", line);
    return kFailed;
  }
  while (true) {
    const int s = requestUploadSegment(node);
    if (s != 0) {
      log_error("--Error: requestSegment failed with error %ld", s);
      return s;
    }
    const int f = receiveUploadSegment(node, buffer, &offset);
    if (f == 0) continue;
    return f == kComplete ? 0 : f;
  }
}

int D_can::initiateUpload(short node, int idx, int subIdx) {
  Index = idx;
  Subindex = subIdx;
  ToggleBit = 1;
  sdo_size_ = -1;
  unsigned char data[8] = {korvel::kSdoInitiateUpload,
                           static_cast<unsigned char>(idx & 0xFF),
                           static_cast<unsigned char>((idx >> 8) & 0xFF),
                           static_cast<unsigned char>(subIdx & 0xFF),
                           0,
                           0,
                           0,
                           0};
  return can_write(kSdoRequestBase + node, 8, data);
}

int D_can::initUploadResponse(short node, char* buffer, int* offset) {
  return wait_for_reply(*this, [&](const CMSG& m, int& result) {
    const int dlc = data_length(m);
    if (m.id != kSdoReplyBase + node || dlc < 1) return false;
    if ((m.data[0] & 0xF0) != korvel::kSdoInitiateUploadReply) return false;
    if (!(m.data[0] & korvel::kSdoExpedited)) {
      // Segmented: the size, when indicated, tells whether the object can fit at all.
      const bool sized = (m.data[0] & korvel::kSdoSizeIndicated) && dlc == 8;
      sdo_size_ = sized ? static_cast<long>(little_endian32(&m.data[4])) : -1;
      result = 0;
      return true;
    }
    const int size = (m.data[0] & korvel::kSdoSizeIndicated) ? 4 - ((m.data[0] >> 2) & 3) : 4;
    if (dlc < 4 + size) return false;  // claims more data than the frame carries
    if (static_cast<std::size_t>(size) + 1 > sdo_capacity_) {
      sdo_abort(node, kSdoAbortOutOfMemory);
      log_error("--Error: expedited reply does not fit the buffer of %ld bytes: aborted",
                static_cast<long>(sdo_capacity_));
      result = kFailed;
      return true;
    }
    std::memcpy(buffer, &m.data[4], static_cast<std::size_t>(size));
    buffer[size] = 0;
    *offset = size;
    result = kComplete;
    return true;
  });
}

int D_can::requestUploadSegment(short /*node*/) {
  // The first segment request carries toggle 0 (ToggleBit starts at 1), then they alternate.
  const unsigned char command =
      ToggleBit ? korvel::kSdoUploadSegment : korvel::kSdoUploadSegment | korvel::kSdoToggle;
  unsigned char data[8] = {command, 0, 0, 0, 0, 0, 0, 0};
  ToggleBit = ToggleBit ? 0 : 1;
  return can_write(kSdoRequestBase + canIdent_.i2_data, 8, data);
}

int D_can::receiveUploadSegment(short node, char* buffer, int* offset) {
  return wait_for_reply(*this, [&](const CMSG& m, int& result) {
    const int dlc = data_length(m);
    if (m.id != kSdoReplyBase + node || dlc < 1) return false;
    if ((m.data[0] & korvel::kSdoReplyMask) != korvel::kSdoUploadSegmentReply) return false;
    if (((m.data[0] >> 4) & 1) != ToggleBit) {
      std::printf("--Error: bad toggle bit in segmented transfer sequence.\n");
      std::fflush(stdout);
      result = kFailed;
      return true;
    }
    const int size = 7 - ((m.data[0] >> 1) & 7);
    if (dlc < 1 + size) return false;  // claims more data than the frame carries
    if (*offset < 0 ||
        static_cast<std::size_t>(*offset) + static_cast<std::size_t>(size) + 1 > sdo_capacity_) {
      sdo_abort(node, kSdoAbortOutOfMemory);
      char line[200];
      std::snprintf(line, sizeof line,
                    "--Error: object 0x%04X/%d is longer than the buffer of %zu bytes: aborted",
                    static_cast<unsigned>(Index), Subindex, sdo_capacity_);
      korvel::log("segSdoRead", line);
      result = kFailed;
      return true;
    }
    std::memcpy(buffer + *offset, &m.data[1], static_cast<std::size_t>(size));
    *offset += size;
    buffer[*offset] = 0;  // the text always ends inside the buffer
    result = (m.data[0] & korvel::kSdoLastSegment) ? kComplete : 0;
    return true;
  });
}

int D_can::isAbort(CMSG* m, int* abortCode) {
  if (!m || !abortCode) return 0;
  const int dlc = data_length(*m);
  if (dlc < 4 || (m->data[0] & 0xF0) != kSdoAbort) return 0;
  if ((m->data[1] | (m->data[2] << 8)) != Index || m->data[3] != Subindex) return 0;
  uint8_t code[4] = {0, 0, 0, 0};
  for (int i = 4; i < dlc; ++i) code[i - 4] = m->data[i];
  *abortCode = static_cast<int>(little_endian32(code));
  return 1;
}

int D_can::sdo_abort(short node, std::uint32_t code) {
  unsigned char data[8] = {kSdoAbort,
                           static_cast<unsigned char>(Index & 0xFF),
                           static_cast<unsigned char>((Index >> 8) & 0xFF),
                           static_cast<unsigned char>(Subindex & 0xFF),
                           static_cast<unsigned char>(code & 0xFF),
                           static_cast<unsigned char>((code >> 8) & 0xFF),
                           static_cast<unsigned char>((code >> 16) & 0xFF),
                           static_cast<unsigned char>((code >> 24) & 0xFF)};
  return can_write(kSdoRequestBase + node, 8, data);
}

int D_can::check_ascii(char* aString) {
  if (!aString) return kFailed;
  constexpr int kMaxExamined = 10000;
  for (int i = 0; i < kMaxExamined && aString[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(aString[i]);
    if (c < 0x20 || c > 0x7E) {
      aString[i] = '\0';
      return kFailed;
    }
  }
  return 0;
}

int D_can::read_text_object(int index, D_string* prop) {
  char buffer[kTextBuffer] = {};
  const int r = segSdoRead(static_cast<short>(canIdent_.i2_data), index, 0, buffer, sizeof buffer);
  if (r == 0) {
    check_ascii(buffer);
    prop->set_value(std::string(buffer));
  } else {
    prop->set_value("error");
  }
  return r;
}

int D_can::get_manufacture() { return read_text_object(korvel::kManufacturerDeviceName, manu_); }

int D_can::get_hwversion() {
  return read_text_object(korvel::kManufacturerHardwareVersion, hwver_);
}

int D_can::get_swversion() {
  VEXILsleep(0, 100000);
  return read_text_object(korvel::kManufacturerSoftwareVersion, swver_);
}
