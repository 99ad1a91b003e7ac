// settings.cc - server-wide settings (archiving, global time stamp, debug word), error texts
// and the configuration restore helper.
#include <atomic>

#include "vexil/vexil_host.h"

int VEXIL_debug = 0;

namespace {
// Trivially destructible atomics: safe to read from threads that outlive main().
std::atomic<int> g_arch_mode{1};
std::atomic<vexil::Timestamp> g_global_timestamp{0};
}  // namespace

int get_arch_mode() { return g_arch_mode.load(); }
vexil::Timestamp get_global_timestamp() { return g_global_timestamp.load(); }

const char* get_error_string(int code) {
  switch (code) {
    case ERR_NONE:
      return "no error";
    case ERR_NO_DATA:
      return "no data for this selection";
    case ERR_NO_BUFFER:
      return "property keeps no value buffer";
    case ERR_NOT_SUPPORTED:
      return "request not supported";
    case ERR_ILLEGAL_DATA:
      return "illegal data";
    default:
      return "unknown error";
  }
}

namespace vexil {

void set_arch_mode(int mode) { g_arch_mode.store(mode); }
void set_global_timestamp(Timestamp t) { g_global_timestamp.store(t); }

namespace detail {
void restore_conf(EqFct* loc, D_fct* prop) {
  if (!prop) return;
  prop->conf(loc ? loc->config() : nullptr);
  prop->read();
}
}  // namespace detail

}  // namespace vexil
