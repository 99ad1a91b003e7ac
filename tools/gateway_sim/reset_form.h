// reset_form.h - the gateway's HTTP reset form as a pure function: the bytes a connection sent
// so far in, what to answer (or that more must be read first) out. No sockets, no state.
//
// A POST of "FWUpdReset=1" to /Forms/Firmware with the administrator's basic credentials asks
// for a reset; anything else is refused with the matching status.
#ifndef GATEWAY_SIM_RESET_FORM_H
#define GATEWAY_SIM_RESET_FORM_H

#include <cstddef>
#include <string>

namespace gateway_sim {

// The user and password of the reset form.
constexpr const char* kAdminUser = "vexiladm";
constexpr const char* kAdminPassword = "rqx8mulfo";
constexpr const char* kFormPath = "/Forms/Firmware";
// A request (head and body) longer than this is refused.
constexpr std::size_t kMaxHttpRequest = 16384;

struct FormAnswer {
  bool complete = false;  // false: read more, nothing else is set
  bool to_form = false;   // the request named the form (it counts as a form request)
  bool reset = false;     // the gateway must reset before the response goes out
  std::string response;   // the whole HTTP response
  std::string summary;    // for the log: "POST /Forms/Firmware: 401 (no credentials)"
};

FormAnswer answer_form(const std::string& received);

// RFC 4648 base64, as basic credentials are encoded.
std::string base64(const std::string& in);

}  // namespace gateway_sim

#endif  // GATEWAY_SIM_RESET_FORM_H
