// gateway_config.cc - the configuration file of the simulated gateway.
#include "gateway_config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <istream>

namespace gateway_sim {
namespace {

// Words of a configuration line; "..." is one word; '#' outside quotes ends the line.
bool config_words(const std::string& line, std::vector<std::string>& out) {
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == '#') break;
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    if (c == '"') {
      const std::size_t end = line.find('"', i + 1);
      if (end == std::string::npos) return false;
      out.push_back(line.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    std::size_t j = i;
    while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j])) &&
           line[j] != '#') {
      if (line[j] == '"') return false;  // a quote inside a word: a quoted text went wrong
      ++j;
    }
    out.push_back(line.substr(i, j - i));
    i = j;
  }
  return true;
}

bool to_int(const std::string& s, long lo, long hi, long& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  out = std::strtol(s.c_str(), &end, 10);
  return *end == '\0' && out >= lo && out <= hi;
}

}  // namespace

bool parse_config(std::istream& in, Config& cfg, std::string& error) {
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    std::vector<std::string> w;
    auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (!config_words(line, w)) return fail("unbalanced quotes");
    if (w.empty()) continue;
    long v = 0;
    if (w[0] == "bus" && w.size() == 2) {
      if (std::find(cfg.buses.begin(), cfg.buses.end(), w[1]) == cfg.buses.end())
        cfg.buses.push_back(w[1]);
    } else if (w[0] == "device" && w.size() == 6) {
      if (std::find(cfg.buses.begin(), cfg.buses.end(), w[1]) == cfg.buses.end()) {
        return fail("device on bus '" + w[1] + "' before a 'bus " + w[1] + "' line");
      }
      if (!to_int(w[2], 1, 127, v)) return fail("node-ID must be 1..127: '" + w[2] + "'");
      cfg.devices.push_back(DeviceConfig{w[1], static_cast<int>(v), w[3], w[4], w[5]});
    } else if (w[0] == "remote-frames" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
      cfg.remote_frames = w[1] == "on";
    } else if (w[0] == "reboot-ms" && w.size() == 2 && to_int(w[1], 0, 3600000, v)) {
      cfg.reboot_time = std::chrono::milliseconds(v);
    } else if (w[0] == "idle-ms" && w.size() == 2 && to_int(w[1], 0, 86400000, v)) {
      cfg.idle_time = std::chrono::milliseconds(v);
    } else {
      return fail(
          "expected 'bus NAME', 'device BUS NODE \"name\" \"hw\" \"sw\"', 'remote-frames on|off', "
          "'reboot-ms N' or 'idle-ms N'");
    }
  }
  return true;
}

}  // namespace gateway_sim
