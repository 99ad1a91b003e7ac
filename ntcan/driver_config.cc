// driver_config.cc - parsing and loading of the driver configuration file.
#include "driver_config.h"

#include <cstdio>
#include <cstdlib>
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
  if (!parse_int(w[0], 0, kMaxNet, cfg.net)) return "net must be a number from 0 to 255: '" + w[0] + "'";
  if (w.size() < 2) return "transport missing after net " + w[0];
  const std::string& kind = w[1];
  if (kind == "sim") {
    if (w.size() != 2) return "sim takes no arguments";
    cfg.kind = NetConfig::Kind::kSim;
  } else if (kind == "socketcand") {
    if (w.size() != 5) return "socketcand takes HOST PORT BUS";
    cfg.kind = NetConfig::Kind::kSocketcand;
    cfg.host = w[2];
    if (!parse_int(w[3], 1, 65535, cfg.port)) return "port must be a number from 1 to 65535: '" + w[3] + "'";
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
  if (!path || !*path) return cfg;
  std::ifstream in(path);
  if (!in) {
    cfg->errors.push_back(std::string(path) + ": cannot read the driver configuration");
  } else {
    *cfg = parse_driver_config(in, path);
  }
  for (const auto& e : cfg->errors) std::fprintf(stderr, "ntcan: %s\n", e.c_str());
  return cfg;
}

}  // namespace

const NetConfig* DriverConfig::find(int net) const {
  const NetConfig* found = nullptr;
  for (const auto& n : nets) {
    if (n.net == net) found = &n;  // a later line for the same net wins
  }
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
    } else {
      cfg.errors.push_back(file_name + ":" + std::to_string(number) + ": " + error);
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
