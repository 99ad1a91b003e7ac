// reset_form.cc - parsing one HTTP request and answering it for the reset form.
#include "reset_form.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace gateway_sim {
namespace {

constexpr const char* kResetField = "FWUpdReset=1";

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

FormAnswer respond(int code, const char* reason, const std::string& body, bool challenge,
                   std::string summary) {
  FormAnswer a;
  a.complete = true;
  a.response = "HTTP/1.1 " + std::to_string(code) + " " + reason +
               "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: close\r\n";
  if (challenge) a.response += "WWW-Authenticate: Basic realm=\"gateway\"\r\n";
  a.response += "\r\n" + body;
  a.summary = std::move(summary);
  return a;
}

}  // namespace

std::string base64(const std::string& in) {
  static const char* const digits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                       static_cast<unsigned char>(in[i + 1]) << 8 |
                       static_cast<unsigned char>(in[i + 2]);
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += digits[v >> 6 & 63];
    out += digits[v & 63];
  }
  if (i + 1 == in.size()) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const unsigned v =
        static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8;
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += digits[v >> 6 & 63];
    out += '=';
  }
  return out;
}

FormAnswer answer_form(const std::string& received) {
  const std::size_t head_end = received.find("\r\n\r\n");
  if (head_end == std::string::npos) {
    if (received.size() > kMaxHttpRequest)
      return respond(400, "Bad Request", "request too long\n", false, "400 (too long)");
    return FormAnswer{};
  }
  std::istringstream head(received.substr(0, head_end));
  std::string request_line;
  std::getline(head, request_line);
  std::istringstream rl(request_line);
  std::string method, path, version;
  rl >> method >> path >> version;
  std::size_t length = 0;
  std::string auth;
  for (std::string line; std::getline(head, line);) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = lower(trim(line.substr(0, colon)));
    const std::string value = trim(line.substr(colon + 1));
    if (name == "content-length")
      length = static_cast<std::size_t>(std::strtoul(value.c_str(), nullptr, 10));
    if (name == "authorization") auth = value;
  }
  const std::string what = method + " " + path + ": ";
  if (length > kMaxHttpRequest)
    return respond(413, "Payload Too Large", "too long\n", false, what + "413");
  if (received.size() < head_end + 4 + length) return FormAnswer{};
  const std::string body = received.substr(head_end + 4, length);
  if (path != kFormPath) return respond(404, "Not Found", "not found\n", false, what + "404");

  FormAnswer a;
  const std::string expected = "Basic " + base64(std::string(kAdminUser) + ":" + kAdminPassword);
  if (auth.empty() || auth != expected) {
    a = respond(401, "Unauthorized", "authorization required\n", true,
                what + "401 (" + (auth.empty() ? "no credentials" : "wrong credentials") + ")");
  } else if (method != "POST") {
    a = respond(405, "Method Not Allowed", "post the form\n", false, what + "405");
  } else if (body.find(kResetField) == std::string::npos) {
    a = respond(400, "Bad Request", "unknown form\n", false, what + "400 (no " + kResetField + ")");
  } else {
    a = respond(200, "OK", "rebooting\n", false, what + "reset accepted");
    a.reset = true;
  }
  a.to_form = true;
  return a;
}

}  // namespace gateway_sim
