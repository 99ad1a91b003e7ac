// The supervision thread of a line: status checks about once a second, close after two
// failed checks in a row, re-open with pauses growing from 1 to 60 seconds, and gateway
// resets when re-opening keeps failing with a connection time-out.
#include <cstdio>
#include <string>

#include "D_korvel.h"
#include "korvel_internal.h"

namespace {

using korvel::log;

constexpr const char* kDenyResetMarker = "./DENY-wget-reset";
constexpr int kStartPause = 60;
constexpr int kClosePause = 15;
constexpr int kResetPause = 20;
constexpr int kMaxRetry = 60;
constexpr int kMaxResets = 5;
// Failed re-opens counted towards a reset; a reset needs this many plus one.
constexpr int kOpenErrorsPerReset = 5;

std::string line_text(const canline* line, const std::string& rest) {
  return "Line : " + std::to_string(line->line_) + rest;
}

}  // namespace

void* can_control(void* arg) {
  if (!arg) return nullptr;
  canline* line = static_cast<canline*>(arg);

  char msg[100];
  std::snprintf(msg, sizeof msg, "Line : %d, Handle: %d", line->line_,
                static_cast<int>(line->handle()));
  log("Inside can_control: ", msg);
  VEXILsleep(kStartPause, 0);

  if (FILE* fp = std::fopen(kDenyResetMarker, "r")) {
    log("can_control  ", "do not allow wget resets");
    line->deny_wget_reset_ = true;
    std::fclose(fp);
  } else {
    log("can_control  ", "allow wget resets");
    line->deny_wget_reset_ = false;
  }

  int retry = 1;
  bool first = false;      // the "2." message was logged since the last good status
  bool first_time = true;  // one failed status check is still tolerated
  int reset_tries = 0;
  int open_err_cnt = kOpenErrorsPerReset;
  CAN_IF_STATUS canstat{};
  int ret = 0;

  while (true) {
    if (line->ThreadStop_) {
      log("can_control", "stop can_control thread");
      return nullptr;
    }
    VEXILsleep(retry, 0);

    if (line->handle() <= 0) {
      ret = line->can_open();
      if (ret != 0) {
        open_err_cnt += 1;
        if (reset_tries < kMaxResets && open_err_cnt > kOpenErrorsPerReset &&
            ret == NTCAN_SOCK_CONN_TIMEOUT) {
          open_err_cnt = 0;
          line->reset_line();
          VEXILsleep(kResetPause, 0);
          reset_tries += 1;
        }
        first_time = true;
      }
      if (retry < kMaxRetry) retry += 1;
      continue;
    }

    ret = canStatus(line->handle(), &canstat);
    if (ret == 0) {
      if (canstat.boardstatus != line->board_status) {
        log("3. canStatus returned: ",
            line_text(line, "boardstatus: " + std::to_string(canstat.boardstatus)));
      }
      line->board_status = canstat.boardstatus;
      line->reset_first_ = false;
      retry = 1;
      reset_tries = 0;
      first = false;
      first_time = true;
      open_err_cnt = kOpenErrorsPerReset;
      continue;
    }

    if (first_time) {
      log("1. canStatus returned: ", line_text(line, "mess: " + korvel::status_name(ret)));
      first_time = false;
      open_err_cnt = kOpenErrorsPerReset;
      continue;
    }

    line->can_close();
    if (!first)
      log("2. canStatus returned: ", line_text(line, "mess: " + korvel::status_name(ret)));
    VEXILsleep(kClosePause, 0);
    retry = 1;
    open_err_cnt = kOpenErrorsPerReset;
    first = true;
    reset_tries = 0;
  }
}
