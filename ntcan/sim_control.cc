// sim_control.cc - the control side of the driver (ntcan_sim.h) for tests, tools and demos.
#include <stdexcept>
#include <string>

#include "bus_trace.h"
#include "can_frame.h"
#include "driver_state.h"
#include "ntcan_sim.h"
#include "sim/sim_transport.h"
#include "transport_for_net.h"

namespace ntcan_sim {
namespace {

using ntcan_driver::driver_state;
using ntcan_driver::DriverState;
using ntcan_driver::sim_transport;

std::size_t checked(int net) {
  if (!ntcan_driver::valid_net(net)) throw std::invalid_argument("no net " + std::to_string(net));
  return static_cast<std::size_t>(net);
}

ntcan_driver::NetFaults& faults(DriverState& d, int net) { return d.faults[checked(net)]; }

// Arms one fault switch of a net.
void arm(int net, ntcan_driver::FaultSwitch ntcan_driver::NetFaults::*which, int status,
         int times) {
  DriverState& d = driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  (faults(d, net).*which).arm(status, times);
  d.faults_armed = true;
}

}  // namespace

void reset() {
  DriverState& d = driver_state();
  for (auto& h : d.handles.remove_all()) h->close();
  {
    std::lock_guard<std::mutex> lock(d.mx);
    for (auto& f : d.faults) f.clear();
    d.faults_armed = false;
    d.baudrate.fill(0);
    d.calls.clear();
  }
  sim_transport().reset();
  ntcan_driver::bus_trace().open_from_environment();
  set_time_source(nullptr);
}

void keep_records(bool on) {
  driver_state().recording = on;
  sim_transport().keep_log(on);
}

void fail_open(int net, int status, int times) {
  arm(net, &ntcan_driver::NetFaults::open, status, times);
}
void fail_baudrate(int net, int status, int times) {
  arm(net, &ntcan_driver::NetFaults::baudrate, status, times);
}
void fail_status(int net, int status, int times) {
  arm(net, &ntcan_driver::NetFaults::status, status, times);
}
void fail_close(int net, int status, int times) {
  arm(net, &ntcan_driver::NetFaults::close, status, times);
}

void set_boardstatus(int net, std::uint32_t boardstatus) {
  DriverState& d = driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  faults(d, net).boardstatus = boardstatus;
  d.faults_armed = true;
}

void set_net_down(int net, bool down, int open_status) {
  DriverState& d = driver_state();
  {
    std::lock_guard<std::mutex> lock(d.mx);
    auto& f = faults(d, net);
    f.down = down;
    f.down_open_status = open_status;
    d.faults_armed = true;
  }
  if (!down) return;
  for (auto& h : d.handles.on_net(net)) {
    h->port().refresh();
    h->inbox().clear();  // what the handles held is lost with the connection
    h->port().wake();
  }
}

void clear_faults(int net) {
  DriverState& d = driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  faults(d, net).clear();
}

void inject(int net, const CMSG& m) {
  if (!ntcan_driver::valid_frame(m)) throw std::invalid_argument("cannot inject " + to_string(m));
  DriverState& d = driver_state();
  {
    std::lock_guard<std::mutex> lock(d.mx);
    if (faults(d, net).down) return;
  }
  sim_transport().inject(net, m);
}

std::vector<CMSG> bus_log(int net) { return sim_transport().log(static_cast<int>(checked(net))); }

void clear_bus_log() { sim_transport().clear_log(); }

int open_handles(int net) {
  return static_cast<int>(driver_state().handles.on_net(static_cast<int>(checked(net))).size());
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
  bool down = false;
  {
    std::lock_guard<std::mutex> lock(d.mx);
    down = d.faults[static_cast<std::size_t>(handle->net())].down;
  }
  if (!down) handle->port().refresh();
  return static_cast<int>(handle->inbox().size());
}

std::uint32_t baudrate(int net) {
  DriverState& d = driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  return d.baudrate[checked(net)];
}

bool simulated(int net) {
  return ntcan_driver::valid_net(net) && &ntcan_driver::transport_for_net(net) == &sim_transport();
}

std::vector<Call> calls() {
  DriverState& d = driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  return d.calls.all();
}

std::vector<Call> calls(const std::string& op) {
  DriverState& d = driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  return d.calls.of(op);
}

void clear_calls() {
  DriverState& d = driver_state();
  std::lock_guard<std::mutex> lock(d.mx);
  d.calls.clear();
}

void attach(int net, std::shared_ptr<Device> device) {
  if (!device) throw std::invalid_argument("attach: no device");
  sim_transport().attach(static_cast<int>(checked(net)), std::move(device));
}

void detach(int net, const std::shared_ptr<Device>& device) {
  sim_transport().detach(static_cast<int>(checked(net)), device);
}

}  // namespace ntcan_sim
