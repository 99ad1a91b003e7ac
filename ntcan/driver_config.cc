// driver_config.cc - parsing and loading of the driver configuration file.
#include "driver_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <memory>
#include <mutex>
#include <sstream>

namespace ntcan_driver {

namespace {

constexpr int kMaxNet = 255;

bool parse_int(const std::string& text, int lo, int hi, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

// One line split into words; text after '#' is a comment.
std::vector<std::string> words_of(const std::string& line) {
  std::istringstream in(line.substr(0, line.find('#')));
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string parse_line(const std::vector<std::string>& w, NetConfig& cfg) {
  if (!parse_int(w[0], 0, kMaxNet, cfg.net))
    return "net must be a number from 0 to 255: '" + w[0] + "'";
  if (w.size() < 2) return "transport missing after net " + w[0];
  const std::string& kind = w[1];
  if (kind == "sim") {
    if (w.size() != 2) return "sim takes no arguments";
    cfg.kind = NetConfig::Kind::kSim;
  } else if (kind == "socketcand") {
    if (w.size() != 5) return "socketcand takes HOST PORT BUS";
    cfg.kind = NetConfig::Kind::kSocketcand;
    cfg.host = w[2];
    if (!parse_int(w[3], 1, 65535, cfg.port))
      return "port must be a number from 1 to 65535: '" + w[3] + "'";
    cfg.bus = w[4];
  } else if (kind == "socketcan") {
    if (w.size() != 3) return "socketcan takes IFNAME";
    if (w[2].size() >= 16) return "interface name too long: '" + w[2] + "'";
    cfg.kind = NetConfig::Kind::kSocketcan;
    cfg.ifname = w[2];
  } else {
    return "unknown transport '" + kind + "' (sim, socketcand or socketcan)";
  }
  return std::string();
}

void refuse_unlisted(DriverConfig& cfg, const std::string& why) {
  if (cfg.refuse_unlisted) return;  // the first reason is kept
  cfg.refuse_unlisted = true;
  cfg.unlisted.kind = NetConfig::Kind::kRefused;
  cfg.unlisted.net = -1;
  cfg.unlisted.refusal = why;
}

struct Loaded {
  std::mutex mx;
  std::unique_ptr<DriverConfig> config;
};

Loaded& loaded() {
  static Loaded* l = new Loaded();  // used by driver calls at any time, even during exit
  return *l;
}

std::unique_ptr<DriverConfig> load_from_environment() {
  auto cfg = std::make_unique<DriverConfig>();
  const char* path = std::getenv("NTCAN_CONFIG");
  if (!path || !*path) {
    std::fprintf(stderr,
                 "ntcan: NTCAN_CONFIG is not set: every net is a simulated in-process CAN bus\n");
    return cfg;
  }
  std::ifstream in(path);
  if (!in) {
    const std::string why =
        std::string(path) + ": cannot read the driver configuration (" + std::strerror(errno) + ")";
    cfg->errors.push_back(why + ": no net is opened");
    refuse_unlisted(*cfg, why);
  } else {
    *cfg = parse_driver_config(in, path);
  }
  for (const auto& e : cfg->errors) std::fprintf(stderr, "ntcan: %s\n", e.c_str());
  if (cfg->refuse_unlisted && in) {
    std::fprintf(stderr,
                 "ntcan: %s names a net the driver cannot read: nets without a good line there are "
                 "not opened\n",
                 path);
  }
  return cfg;
}

}  // namespace

const NetConfig* DriverConfig::find(int net) const {
  const NetConfig* found = nullptr;
  for (const auto& n : nets) {
    if (n.net != net) continue;
    if (n.kind == NetConfig::Kind::kRefused)
      return &n;  // a bad line for the net, wherever it stands
    found = &n;   // else a later line for the same net wins
  }
  if (!found && refuse_unlisted) return &unlisted;
  return found;
}

DriverConfig parse_driver_config(std::istream& in, const std::string& file_name) {
  DriverConfig cfg;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const auto words = words_of(line);
    if (words.empty()) continue;
    NetConfig net;
    const std::string error = parse_line(words, net);
    if (error.empty()) {
      cfg.nets.push_back(net);
      continue;
    }
    const std::string where = file_name + ":" + std::to_string(number) + ": " + error;
    NetConfig refused;
    if (parse_int(words[0], 0, kMaxNet, refused.net)) {
      refused.kind = NetConfig::Kind::kRefused;
      refused.refusal = where;
      cfg.nets.push_back(refused);
      cfg.errors.push_back(where + " (net " + words[0] + " is not opened)");
    } else {
      refuse_unlisted(cfg, where);
      cfg.errors.push_back(where);
    }
  }
  return cfg;
}

const DriverConfig& driver_config() {
  Loaded& l = loaded();
  std::lock_guard<std::mutex> lk(l.mx);
  if (!l.config) l.config = load_from_environment();
  return *l.config;
}

void reload_driver_config() {
  Loaded& l = loaded();
  std::lock_guard<std::mutex> lk(l.mx);
  // The previous configuration is kept alive: transports may still refer to its entries.
  static auto* retired = new std::vector<std::unique_ptr<DriverConfig>>();
  if (l.config) retired->push_back(std::move(l.config));
  l.config = load_from_environment();
}

}  // namespace ntcan_driver
