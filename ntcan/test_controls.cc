// test_controls.cc - the test controls of the driver (ntcan/test_controls.h), on every
// transport.
#include "ntcan/test_controls.h"

#include <stdexcept>
#include <string>

#include "bus_trace.h"
#include "driver_config.h"
#include "driver_state.h"
#include "sim/sim_transport.h"

namespace ntcan_test {
namespace {

using ntcan_driver::driver_state;
using ntcan_driver::DriverState;
using ntcan_driver::TestHooks;

int checked(int net) {
  if (!ntcan_driver::valid_net(net)) throw std::invalid_argument("no net " + std::to_string(net));
  return net;
}

void arm(int net, TestHooks::Fault which, int status, int times) {
  driver_state().hooks.arm(checked(net), which, status, times);
}

}  // namespace

void reset() {
  DriverState& d = driver_state();
  for (auto& h : d.handles.remove_all()) h->close();
  d.hooks.clear_all();
  ntcan_driver::sim_transport().reset();
  ntcan_driver::bus_trace().open_from_environment();
  set_time_source(nullptr);
}

void reload_config() { ntcan_driver::reload_driver_config(); }

void keep_records(bool on) {
  driver_state().hooks.keep_records(on);  // the simulated buses' logs follow it
}

void fail_open(int net, int status, int times) { arm(net, TestHooks::Fault::kOpen, status, times); }
void fail_baudrate(int net, int status, int times) {
  arm(net, TestHooks::Fault::kBaudrate, status, times);
}
void fail_status(int net, int status, int times) {
  arm(net, TestHooks::Fault::kStatus, status, times);
}
void fail_close(int net, int status, int times) {
  arm(net, TestHooks::Fault::kClose, status, times);
}

void set_boardstatus(int net, std::uint32_t boardstatus) {
  driver_state().hooks.set_boardstatus(checked(net), boardstatus);
}

void set_net_down(int net, bool down, int open_status) {
  DriverState& d = driver_state();
  d.hooks.set_down(checked(net), down, open_status);
  if (!down) return;
  for (auto& h : d.handles.on_net(net)) {
    h->port().refresh();
    h->inbox().clear();  // what the handles held is lost with the connection
    h->port().wake();
  }
}

void clear_faults(int net) { driver_state().hooks.clear(checked(net)); }

int open_handles(int net) {
  return static_cast<int>(driver_state().handles.on_net(checked(net)).size());
}

bool is_open(NTCAN_HANDLE h) { return driver_state().handles.find(h) != nullptr; }

int net_of(NTCAN_HANDLE h) {
  auto handle = driver_state().handles.find(h);
  return handle ? handle->net() : -1;
}

int queued(NTCAN_HANDLE h) {
  DriverState& d = driver_state();
  auto handle = d.handles.find(h);
  if (!handle) return 0;
  if (!d.hooks.net_down(handle->net())) handle->port().refresh();
  return static_cast<int>(handle->inbox().size());
}

std::uint32_t baudrate(int net) { return driver_state().hooks.baudrate(checked(net)); }

std::vector<Call> calls() { return driver_state().hooks.calls(nullptr); }

std::vector<Call> calls(const std::string& op) { return driver_state().hooks.calls(&op); }

void clear_calls() { driver_state().hooks.clear_calls(); }

}  // namespace ntcan_test
