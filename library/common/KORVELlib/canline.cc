// A CAN line: the line handle, handles for the nodes on the line, the gateway address from
// the gateway file, and the gateway reset.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>

#include "D_korvel.h"
#include "gateway_reset.h"
#include "korvel_internal.h"

namespace {

using korvel::log;

constexpr const char* kGatewayFile = "/etc/esd-plugin";
constexpr std::size_t kAddressLength = 15;

// Driver arguments of every open.
constexpr uint32_t kOpenMode = 0;
constexpr int32_t kTxQueue = 10;
constexpr int32_t kRxQueue = 100;
constexpr int32_t kTxTimeoutMs = 1000;
constexpr int32_t kRxTimeoutMs = 1000;

}  // namespace

std::string gateway_file_path() {
  const char* env = std::getenv("KORVEL_GATEWAY_FILE");
  return (env && *env) ? env : kGatewayFile;
}

canline::canline()
    : linehandle_(-1),
      todo_(0),
      line_(0),
      baudrate_(NTCAN_BAUD_125),
      is_open_(false),
      err_first_(false),
      board_status(0),
      deny_wget_reset_(false),
      reset_first_(false),
      t1_(),
      line_ip_(),
      ThreadStop_(false),
      bad_ip_logged_(false),
      reset_limit_ms_(korvel::kResetTimeLimit.count()) {}

canline::~canline() {
  stop_sync();
  if (t1_.joinable()) t1_.detach();
}

int canline::can_open(NTCAN_HANDLE& handle, bool openalways) {
  const NTCAN_HANDLE lh = linehandle_.load();
  if (!openalways) {
    if (lh > 0 && handle != -1) {
      // A node confirming the handle it holds on a line that is up.
      if (handle > 0) {
        err_first_ = false;
        is_open_ = true;
        return 0;
      }
      handle = -1;
      is_open_ = false;
      return -1;
    }
    if (lh <= 0) {
      // Nodes cannot open on a line that is down; the supervision thread re-opens it.
      handle = -1;
      is_open_ = false;
      return -1;
    }
  }

  NTCAN_HANDLE h = -1;
  int ret = canOpen(line_ - 1, kOpenMode, kTxQueue, kRxQueue, kTxTimeoutMs, kRxTimeoutMs, &h);
  if (ret != 0) {
    handle = -1;
    if (!err_first_) {
      log("canOpen returned: ",
          "Line : " + std::to_string(line_) + "mess: " + korvel::status_name(ret));
      err_first_ = true;
    }
    is_open_ = false;
    return ret;
  }

  VEXILsleep(0, 5000);
  ret = canSetBaudrate(h, static_cast<uint32_t>(baudrate_));
  if (ret != 0) {
    log("canSetBaudrate returned: ", korvel::status_name(ret));
    is_open_ = false;
    canClose(h);
    return ret;
  }

  handle = h;
  NTCAN_HANDLE none = -1;
  linehandle_.compare_exchange_strong(none, h);
  is_open_ = true;
  err_first_ = false;
  return 0;
}

int canline::can_open() {
  NTCAN_HANDLE h = linehandle_.load();
  const int ret = can_open(h, true);
  linehandle_.store(h);
  if (ret == 0) {
    std::lock_guard<std::mutex> lk(ids_mx_);
    for (int32_t id : line_ids_) canIdAdd(h, id);
  }
  return ret;
}

int canline::can_close() {
  const NTCAN_HANDLE h = linehandle_.load();
  if (h == -1) return 0;
  const int ret = canClose(h);
  if (ret != 0) log("canline::canClose returned: ", korvel::status_name(ret));
  linehandle_.store(-1);
  VEXILsleep(0, 5000);
  is_open_ = false;
  return ret;
}

void canline::remember_id(int32_t id) {
  std::lock_guard<std::mutex> lk(ids_mx_);
  if (line_id_set_.insert(id).second) line_ids_.push_back(id);
}

void canline::forget_id(int32_t id) {
  std::lock_guard<std::mutex> lk(ids_mx_);
  if (line_id_set_.erase(id) == 0) return;
  line_ids_.erase(std::find(line_ids_.begin(), line_ids_.end(), id));
}

int canline::getlineip(int lineno, std::string& ip) {
  const std::string path = gateway_file_path();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    log("canline::getlineip cannot open  ", path);
    return -1;
  }
  std::string text;
  while (std::getline(in, text)) {
    if (!in.eof()) text += '\n';  // each line is looked at with its line end
    // An entry: "PeerName", the net digit at position 9, the address after the first quote.
    if (text.size() < 10 || text.compare(0, 8, "PeerName") != 0) continue;
    const char c = text[9];
    const int net = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : 0;
    if (net != lineno - 1) continue;
    const std::size_t quote = text.find('"');
    if (quote == std::string::npos) continue;
    ip = text.substr(quote + 1, kAddressLength);
    break;
  }
  return ip.size() == kAddressLength ? 0 : -1;
}

void canline::reset_line() {
  if (deny_wget_reset_ || line_ip_.size() != kAddressLength) return;
  // The groups are decimal as written; the plain form keeps a resolver from reading a group
  // with a leading zero as octal (and the reset going to another host).
  const std::string address = korvel::gateway_address(line_ip_);
  if (address.empty()) {
    if (!bad_ip_logged_) {
      log("canline::reset_line ", "Line : " + std::to_string(line_) + " gateway address \"" +
                                      line_ip_ +
                                      "\" is not a dotted IPv4 address: no gateway reset");
      bad_ip_logged_ = true;
    }
    return;
  }
  const std::chrono::milliseconds limit(reset_limit_ms_.load());
  const korvel::ResetRun run = korvel::post_gateway_reset(address, limit);
  // Whether the reset helped shows at the next re-open; only a run that could not start or
  // had to be stopped is worth a line of its own.
  if (!run.started) {
    log("canline::reset_line ",
        "Line : " + std::to_string(line_) + " gateway reset not run: " + run.error);
  } else if (run.timed_out) {
    log("canline::reset_line ", "Line : " + std::to_string(line_) +
                                    " gateway reset stopped after " +
                                    std::to_string(limit.count()) + " ms");
  }
  if (!reset_first_) {
    log("system called with : ", korvel::reset_command_text(address));
    reset_first_ = true;
  }
}
