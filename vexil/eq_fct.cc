// eq_fct.cc - a location of the server: its properties, its operator identity and its
// configuration file (parsing, loading, writing back).
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "file_replace.h"
#include "vexil/vexil_host.h"

// ---------------------------------------------------------------- Config

void Config::insert(D_fct* prop, int data_type) {
  if (!prop) return;
  std::lock_guard<std::mutex> lk(mx_);
  types_[prop] = data_type;
}

void Config::remove(D_fct* prop) {
  std::lock_guard<std::mutex> lk(mx_);
  types_.erase(prop);
}

int Config::type_of(const D_fct* prop) const {
  std::lock_guard<std::mutex> lk(mx_);
  auto it = types_.find(prop);
  return it == types_.end() ? -1 : it->second;
}

D_conf_struct* Config::find(const std::string& basename) {
  std::lock_guard<std::mutex> lk(mx_);
  if (!lookup_failure_.empty()) throw std::runtime_error(lookup_failure_);
  auto it = records_.find(basename);
  // Records are never freed while the location lives (properties may keep the pointer); a
  // record whose line went away on a later read is only marked as not found.
  if (it == records_.end() || !it->second->found) return nullptr;
  return it->second.get();
}

void Config::fail_lookups(const std::string& what) {
  std::lock_guard<std::mutex> lk(mx_);
  lookup_failure_ = what;
}

// ---------------------------------------------------------------- parsing helpers

namespace {

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> split_blanks(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string tok;
  while (in >> tok) out.push_back(tok);
  return out;
}

// A 32-bit integer: decimal with an optional sign, or hexadecimal with a 0x prefix.
bool parse_int32(const std::string& tok, int* out) {
  std::size_t pos = 0;
  bool neg = false;
  if (pos < tok.size() && (tok[pos] == '+' || tok[pos] == '-')) neg = tok[pos++] == '-';
  int base = 10;
  if (tok.size() - pos > 2 && tok[pos] == '0' && (tok[pos + 1] == 'x' || tok[pos + 1] == 'X')) {
    base = 16;
    pos += 2;
  }
  if (pos >= tok.size()) return false;
  for (std::size_t k = pos; k < tok.size(); ++k)
    if (base == 16 ? !std::isxdigit(static_cast<unsigned char>(tok[k]))
                   : !std::isdigit(static_cast<unsigned char>(tok[k])))
      return false;
  errno = 0;
  unsigned long long mag = std::strtoull(tok.c_str() + pos, nullptr, base);
  if (errno == ERANGE) return false;
  long long v = 0;
  if (neg) {
    if (mag > static_cast<unsigned long long>(INT_MAX) + 1) return false;
    v = -static_cast<long long>(mag);
  } else {
    if (mag > static_cast<unsigned long long>(INT_MAX)) return false;
    v = static_cast<long long>(mag);
  }
  *out = static_cast<int>(v);
  return true;
}

// Integers a property type requires on its line; -1 when any count will do.
int required_ints(int type) {
  switch (type) {
    case DATA_INT:
      return 1;
    case DATA_IIII:
      return 4;
    default:
      return -1;
  }
}

}  // namespace

// ---------------------------------------------------------------- EqFct

EqFct::EqFct(const std::string& location_name, const std::string& config_file)
    : name_(location_name), config_file_(config_file) {
  const char* user = std::getenv("USER");
  user_ = (user && *user) ? user : "vexil";
  char host[256] = {0};
  if (gethostname(host, sizeof host - 1) == 0 && host[0])
    host_ = host;
  else
    host_ = "localhost";
}

// Properties unregister themselves when they go; a location must outlive its properties.
EqFct::~EqFct() = default;

std::string EqFct::get_location_name() const {
  std::lock_guard<std::mutex> lk(mx_);
  return name_;
}

std::string EqFct::get_hostname() const {
  std::lock_guard<std::mutex> lk(mx_);
  return host_;
}

std::string EqFct::get_username() const {
  std::lock_guard<std::mutex> lk(mx_);
  return user_;
}

std::string EqFct::get_user_and_host() const {
  std::lock_guard<std::mutex> lk(mx_);
  return user_ + "@" + host_;
}

void EqFct::set_username(const std::string& user) {
  std::lock_guard<std::mutex> lk(mx_);
  user_ = user;
}

void EqFct::set_hostname(const std::string& host) {
  std::lock_guard<std::mutex> lk(mx_);
  host_ = host;
}

std::vector<D_fct*> EqFct::properties() const {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<D_fct*> out;
  out.reserve(props_.size() - gaps_);
  for (D_fct* p : props_)
    if (p) out.push_back(p);
  return out;
}

D_fct* EqFct::find_property(const std::string& basename) const {
  std::lock_guard<std::mutex> lk(mx_);
  const auto it = props_by_name_.find(basename);
  return it == props_by_name_.end() ? nullptr : it->second.front();
}

void EqFct::add_property(D_fct* p) {
  if (!p) return;
  std::lock_guard<std::mutex> lk(mx_);
  if (!prop_pos_.emplace(p, props_.size()).second) return;
  props_.push_back(p);
  props_by_name_[p->basename()].push_back(p);
}

void EqFct::remove_property(D_fct* p) {
  std::lock_guard<std::mutex> lk(mx_);
  const auto at = prop_pos_.find(p);
  if (at == prop_pos_.end()) return;  // p is registered, so still alive, past this point
  props_[at->second] = nullptr;
  ++gaps_;
  prop_pos_.erase(at);
  const auto named = props_by_name_.find(p->basename());
  if (named != props_by_name_.end()) {
    auto& same = named->second;
    const auto it = std::find(same.begin(), same.end(), p);
    if (it != same.end()) same.erase(it);
    if (same.empty()) props_by_name_.erase(named);
  }
  if (gaps_ * 2 > props_.size()) compact_properties();
}

void EqFct::compact_properties() {
  props_.erase(std::remove(props_.begin(), props_.end(), nullptr), props_.end());
  gaps_ = 0;
  for (std::size_t k = 0; k < props_.size(); ++k) prop_pos_[props_[k]] = k;
}

int EqFct::parse_config(std::istream& in, const std::string& file_name) {
  // Registered data types by base name: they decide how strict a line is read.
  std::map<std::string, int> types;
  {
    std::lock_guard<std::mutex> lk(config_.mx_);
    for (const auto& e : config_.types_) types.emplace(e.first->basename(), e.second);
  }

  std::vector<Config::Line> lines;
  std::map<std::string, D_conf_struct> records;
  std::vector<std::string> problems;
  std::string text;
  int line_no = 0;
  while (std::getline(in, text)) {
    ++line_no;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    Config::Line line{text, std::string()};
    const std::string trimmed = trim(text);
    if (trimmed.empty() || trimmed[0] == '#') {
      lines.push_back(line);
      continue;
    }
    auto bad = [&](const std::string& reason) {
      problems.push_back(file_name + ":" + std::to_string(line_no) + ": " + reason);
    };
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
      bad("no ':' after a property name");
      lines.push_back(line);
      continue;
    }
    const std::string name = trim(text.substr(0, colon));
    if (name.empty()) {
      bad("empty property name");
      lines.push_back(line);
      continue;
    }
    // A property line keeps its name even when malformed: writing the file back replaces it.
    line.name = name;
    lines.push_back(line);

    D_conf_struct rec;
    rec.found = true;
    rec.d_text = trim(text.substr(colon + 1));
    rec.file = file_name;
    rec.line = line_no;
    const std::vector<std::string> tokens = split_blanks(rec.d_text);
    auto t = types.find(name);
    const int need = t == types.end() ? -1 : required_ints(t->second);
    std::vector<int> ints;
    std::string bad_token;
    for (const std::string& tok : tokens) {
      int v;
      if (!parse_int32(tok, &v)) {
        bad_token = tok;
        break;
      }
      ints.push_back(v);
    }
    if (need >= 0) {
      if (!bad_token.empty()) {
        bad(name + ": '" + bad_token + "' is not a 32-bit integer");
        continue;
      }
      if (static_cast<int>(ints.size()) != need) {
        bad(name + ": expected " + std::to_string(need) + (need == 1 ? " integer" : " integers") +
            ", found " + std::to_string(ints.size()));
        continue;
      }
    }
    rec.n_ints = static_cast<int>(ints.size());
    if (!ints.empty()) rec.d_int = ints[0];
    for (std::size_t k = 0; k < ints.size() && k < 4; ++k) rec.d_int_array[k] = ints[k];
    records[name] = rec;  // a later line of the same name wins
  }

  {
    std::lock_guard<std::mutex> lk(config_.mx_);
    config_.lines_ = std::move(lines);
    // Update records in place: properties may hold pointers to them.
    for (auto& e : config_.records_) *e.second = D_conf_struct();
    for (auto& e : records) {
      auto it = config_.records_.find(e.first);
      if (it == config_.records_.end())
        config_.records_.emplace(e.first, std::make_unique<D_conf_struct>(e.second));
      else
        *it->second = e.second;
    }
  }
  for (const std::string& p : problems) vexil::printtostderr("config", p);
  return static_cast<int>(problems.size());
}

int EqFct::load_config() {
  const std::vector<D_fct*> props = properties();
  for (D_fct* p : props) p->conf(&config_);

  int rc;
  std::ifstream in;
  if (!config_file_.empty()) in.open(config_file_);
  if (config_file_.empty() || !in) {
    vexil::printtostderr("config", "cannot read configuration file '" + config_file_ + "'");
    std::lock_guard<std::mutex> lk(config_.mx_);
    config_.lines_.clear();
    for (auto& e : config_.records_) *e.second = D_conf_struct();
    rc = -1;
  } else {
    rc = parse_config(in, config_file_);
  }
  for (D_fct* p : props) p->read();
  return rc;
}

void EqFct::write_config(std::ostream& out) {
  std::vector<Config::Line> lines;
  std::map<const D_fct*, int> types;
  {
    std::lock_guard<std::mutex> lk(config_.mx_);
    lines = config_.lines_;
    types = config_.types_;
  }
  // The location's registered properties in creation order, and by base name.
  std::vector<D_fct*> registered;
  std::map<std::string, D_fct*> by_name;
  for (D_fct* p : properties()) {
    if (!types.count(p)) continue;
    registered.push_back(p);
    by_name.emplace(p->basename(), p);
  }
  std::set<D_fct*> written;
  auto write_prop = [&](D_fct* p) {
    std::ostringstream s;
    p->write(s);
    std::string text = s.str();
    if (text.empty()) return;  // a property with nothing to keep leaves no line
    if (text.back() != '\n') text += '\n';
    out << text;
    written.insert(p);
  };
  for (const Config::Line& line : lines) {
    if (!line.name.empty()) {
      auto it = by_name.find(line.name);
      if (it != by_name.end()) {
        // Later lines of the same property are dropped: it has one value.
        if (!written.count(it->second)) write_prop(it->second);
        continue;
      }
    }
    out << line.text << '\n';
  }
  for (D_fct* p : registered)
    if (!written.count(p)) write_prop(p);
}

int EqFct::save_config() {
  if (config_file_.empty()) {
    vexil::printtostderr("config", "no configuration file to write");
    return -1;
  }
  std::ostringstream text;
  write_config(text);
  // Written next to the file and renamed over it, so that a reader never sees half a file.
  std::string file;
  std::string reason;
  switch (vexil::replace_file(config_file_, text.str(), file, reason)) {
    case vexil::ReplaceFailure::kNone:
      return 0;
    case vexil::ReplaceFailure::kWrite:
      vexil::printtostderr("config", "cannot write configuration file '" + file + "': " + reason);
      return -1;
    case vexil::ReplaceFailure::kReplace:
      vexil::printtostderr("config", "cannot replace configuration file '" + file + "': " + reason);
      return -1;
  }
  return -1;
}
