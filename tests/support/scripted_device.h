// A device for bus-trace tests: each step expects one frame (can-utils notation) and answers
// with the step's frames; anything else it sees is noted as unexpected.
#ifndef SCRIPTED_DEVICE_H
#define SCRIPTED_DEVICE_H

#include <mutex>
#include <string>
#include <vector>

#include "canbus/frame_text.h"
#include "simdev/device.h"

class ScriptedDevice : public simdev::Device {
 public:
  ScriptedDevice& on(const std::string& request, std::vector<std::string> replies) {
    std::lock_guard<std::mutex> lk(mx_);
    steps_.push_back({request, std::move(replies)});
    return *this;
  }

  void on_frame(const CMSG& in, std::int64_t now_ns,
                std::vector<simdev::TimedFrame>& out) override {
    std::lock_guard<std::mutex> lk(mx_);
    const std::string text = canbus::to_string(in);
    if (next_ < steps_.size() && text == steps_[next_].request) {
      for (const auto& r : steps_[next_].replies) out.push_back({canbus::frame(r), now_ns});
      ++next_;
    } else {
      unexpected_.push_back(text);
    }
  }

  std::vector<std::string> unexpected() const {
    std::lock_guard<std::mutex> lk(mx_);
    return unexpected_;
  }
  bool done() const {
    std::lock_guard<std::mutex> lk(mx_);
    return next_ == steps_.size();
  }

 private:
  struct Step {
    std::string request;
    std::vector<std::string> replies;
  };
  mutable std::mutex mx_;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  std::vector<std::string> unexpected_;
};

#endif  // SCRIPTED_DEVICE_H
