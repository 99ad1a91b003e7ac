// refused_transport.cc - canOpen on a net the configuration refuses.
#include "refused_transport.h"

#include <cstdio>

#include "driver_config.h"

namespace ntcan_driver {

namespace {

class RefusedTransport : public Transport {
 public:
  std::unique_ptr<Port> open(int net, Inbox& inbox, int& status) override {
    (void)inbox;
    const NetConfig* cfg = driver_config().find(net);
    // Every attempt is logged: a server that keeps re-opening keeps saying why it cannot.
    std::fprintf(stderr, "ntcan: canOpen on net %d refused: %s\n", net,
                 cfg ? cfg->refusal.c_str() : "the driver configuration refuses it");
    status = kRefusedStatus;
    return nullptr;
  }
};

}  // namespace

Transport& refused_transport() {
  static RefusedTransport* t =
      new RefusedTransport();  // used by driver calls at any time, even during exit
  return *t;
}

}  // namespace ntcan_driver
