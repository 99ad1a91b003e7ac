// socketcan_transport.cc - placeholder until the socketcan transport is built: every open of such a
// net fails with NTCAN_NET_NOT_FOUND.
#include "socketcan/socketcan_transport.h"

namespace ntcan_driver {

namespace {
class Unavailable : public Transport {
 public:
  std::unique_ptr<Port> open(int, int& status) override {
    status = NTCAN_NET_NOT_FOUND;
    return nullptr;
  }
};
}  // namespace

Transport& socketcan_transport(const NetConfig&) {
  static Unavailable* t = new Unavailable();
  return *t;
}

}  // namespace ntcan_driver
