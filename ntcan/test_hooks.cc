// test_hooks.cc - fault switches, call record and baud rates of the test controls.
#include "test_hooks.h"

namespace ntcan_driver {
namespace {

FaultSwitch NetFaults::*switch_of(TestHooks::Fault which) {
  switch (which) {
    case TestHooks::Fault::kOpen:
      return &NetFaults::open;
    case TestHooks::Fault::kBaudrate:
      return &NetFaults::baudrate;
    case TestHooks::Fault::kStatus:
      return &NetFaults::status;
    case TestHooks::Fault::kClose:
      break;
  }
  return &NetFaults::close;
}

std::size_t at(int net) { return static_cast<std::size_t>(net); }

}  // namespace

bool TestHooks::net_down(int net) {
  if (!armed()) return false;
  std::lock_guard<std::mutex> lock(mx_);
  return faults_[at(net)].down;
}

int TestHooks::down_open_status(int net) {
  std::lock_guard<std::mutex> lock(mx_);
  return faults_[at(net)].down_open_status;
}

bool TestHooks::trip(int net, Fault which, int& status) {
  if (!armed()) return false;
  std::lock_guard<std::mutex> lock(mx_);
  return (faults_[at(net)].*switch_of(which)).trip(status);
}

std::optional<std::uint32_t> TestHooks::boardstatus(int net) {
  if (!armed()) return std::nullopt;
  std::lock_guard<std::mutex> lock(mx_);
  return faults_[at(net)].boardstatus;
}

void TestHooks::record(ntcan_test::Call call) {
  std::lock_guard<std::mutex> lock(mx_);
  calls_.push_back(std::move(call));
  if (calls_.size() > kKeptCalls) calls_.pop_front();
}

void TestHooks::baudrate_set(int net, std::uint32_t code) {
  std::lock_guard<std::mutex> lock(mx_);
  baudrate_[at(net)] = code;
}

void TestHooks::arm(int net, Fault which, int status, int times) {
  std::lock_guard<std::mutex> lock(mx_);
  (faults_[at(net)].*switch_of(which)).arm(status, times);
  armed_ = true;
}

void TestHooks::set_boardstatus(int net, std::uint32_t boardstatus) {
  std::lock_guard<std::mutex> lock(mx_);
  faults_[at(net)].boardstatus = boardstatus;
  armed_ = true;
}

void TestHooks::set_down(int net, bool down, int open_status) {
  std::lock_guard<std::mutex> lock(mx_);
  faults_[at(net)].down = down;
  faults_[at(net)].down_open_status = open_status;
  armed_ = true;
}

void TestHooks::clear(int net) {
  std::lock_guard<std::mutex> lock(mx_);
  faults_[at(net)].clear();
}

void TestHooks::clear_all() {
  std::lock_guard<std::mutex> lock(mx_);
  for (auto& f : faults_) f.clear();
  armed_ = false;
  baudrate_.fill(0);
  calls_.clear();
}

std::vector<ntcan_test::Call> TestHooks::calls(const std::string* op) {
  std::lock_guard<std::mutex> lock(mx_);
  std::vector<ntcan_test::Call> out;
  for (const auto& c : calls_) {
    if (op == nullptr || c.op == *op) out.push_back(c);
  }
  return out;
}

void TestHooks::clear_calls() {
  std::lock_guard<std::mutex> lock(mx_);
  calls_.clear();
}

std::uint32_t TestHooks::baudrate(int net) {
  std::lock_guard<std::mutex> lock(mx_);
  return baudrate_[at(net)];
}

}  // namespace ntcan_driver
