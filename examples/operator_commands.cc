// The operator's console: non-blocking line input and the list / get / set commands.
#include "operator_commands.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "d_fct.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "sdo_commands.h"

// ------------------------------------------------------------------ input

std::vector<std::string> LineReader::take_lines() {
  std::vector<std::string> lines;
  while (!ended_) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // nothing more for now (or a descriptor poll cannot watch)
    if (p.revents & POLLNVAL) {
      ended_ = true;  // standard input is closed
      break;
    }
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended_ = true;
      break;
    }
    partial_.append(buf, static_cast<std::size_t>(n));
    std::size_t eol;
    while ((eol = partial_.find('\n')) != std::string::npos) {
      std::string line = partial_.substr(0, eol);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      partial_.erase(0, eol + 1);
    }
  }
  if (ended_ && !partial_.empty()) {
    lines.push_back(partial_);
    partial_.clear();
  }
  return lines;
}

// ------------------------------------------------------------------ commands

namespace {

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// The text after the first `skip` words of a line.
std::string rest_after(const std::string& line, int skip) {
  std::size_t pos = 0;
  for (int i = 0; i < skip; ++i) {
    pos = line.find_first_not_of(" \t", pos);
    pos = line.find_first_of(" \t", pos);
    if (pos == std::string::npos) return std::string();
  }
  pos = line.find_first_not_of(" \t", pos);
  if (pos == std::string::npos) return std::string();
  std::string text = line.substr(pos);
  text.erase(text.find_last_not_of(" \t") + 1);
  return text;
}

bool to_int(const std::string& text, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

std::string client_value(EqFct& loc, D_fct* prop) {
  EqAdr adr(loc.get_location_name() + "/" + prop->basename());
  EqData out;
  const int rc = prop->get(&adr, nullptr, &out, &loc);
  if (rc != 0 || out.error() != 0) {
    const int code = rc != 0 ? rc : out.error();
    return "error " + std::to_string(code) + ": " + get_error_string(code);
  }
  return out.get_string();
}

std::string help_text() {
  return "commands:\n"
         "  list                 all properties of the location with their values, and the status "
         "table\n"
         "  get NAME             one property, e.g. get PUMP1.CONDITION\n"
         "  set NAME VALUE...    e.g. set PUMP1.STOP 1 (sends the NMT command), set PUMP1.MANU "
         "text,\n"
         "                       set PUMP1.SETPOINT 900 (the pump's speed set-point, sent in "
         "its receive PDO)\n"
         "  debug                the framework's debug word\n"
         "  debug NODE           dump the frames NODE receives into the log (standard error), e.g. "
         "debug PUMP1\n"
         "  debug WORD           set the debug word, e.g. debug 0x100000\n"
         "  debug off            clear the debug word (no frame dump)\n"
         "  read NODE INDEX SUB  SDO upload of any object of the node's device, e.g. read PUMP1 "
         "0x1018 1\n"
         "  read NODE NAME       the same by the name the node's device file gives it, e.g. read "
         "PUMP1 SPEED\n"
         "  write NODE INDEX SUB VALUE, write NODE NAME VALUE\n"
         "                       SDO download: an integer in the object's length (e.g. write HEAT4 "
         "0x1017 0 500,\n"
         "                       write FAN2 HIGH_SPEED 3000) or a \"text\"; failures name the SDO "
         "abort code\n"
         "  help                 this text\n"
         "  quit                 stop the server (the configuration is written back)\n";
}

CommandResult list(EqFct& loc) {
  std::ostringstream out;
  for (D_fct* p : loc.properties()) {
    out << "  " << p->basename() << " = " << client_value(loc, p);
    const std::string comment = p->comment();
    if (!comment.empty()) out << "    (" << comment << ")";
    out << '\n';
  }
  CommandResult r{out.str(), false};
  r.show_table = true;
  return r;
}

std::string hex_word(int word) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(word));
  return buf;
}

// The location's debug selector: the DEBUG_ID property of its first node.
D_fct* debug_selector(EqFct& loc) {
  const std::string suffix = ".DEBUG_ID";
  for (D_fct* p : loc.properties()) {
    const std::string& name = p->basename();
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return p;
  }
  return nullptr;
}

CommandResult debug(EqFct& loc, const std::vector<std::string>& w) {
  if (w.size() == 1) return {"debug word " + hex_word(VEXIL_debug) + "\n", false};
  if (w.size() != 2) return {"usage: debug [NODE|WORD|off]\n", false};
  const std::string& arg = w[1];
  if (arg == "off") {
    VEXIL_debug = 0;
    return {"debug word " + hex_word(VEXIL_debug) + "\n", false};
  }
  if (std::isdigit(static_cast<unsigned char>(arg[0]))) {
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(arg.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul)
      return {"'" + arg + "' is no debug word (e.g. 0x100000)\n", false};
    VEXIL_debug = static_cast<int>(static_cast<unsigned>(v));
    return {"debug word " + hex_word(VEXIL_debug) + "\n", false};
  }
  D_fct* node = loc.find_property(arg);
  if (!node || node->data_type() != DATA_IIII) {
    return {"no node '" + arg + "' at location " + loc.get_location_name() + " (try: list)\n",
            false};
  }
  D_fct* selector = debug_selector(loc);
  if (!selector) return {"location " + loc.get_location_name() + " has no debug selector\n", false};
  EqAdr adr(loc.get_location_name() + "/" + selector->basename());
  EqData in;
  EqData out;
  const std::vector<std::string> id = words(client_value(loc, node));
  IIII v{};
  int* parts[4] = {&v.i1_data, &v.i2_data, &v.i3_data, &v.i4_data};
  for (std::size_t k = 0; k < 4; ++k) {
    if (k >= id.size() || !to_int(id[k], parts[k]))
      return {"cannot read the identity of " + arg + "\n", false};
  }
  in.set(&v);
  const int rc = selector->set(&adr, &in, &out, &loc);
  if (rc != 0 || out.error() != 0) {
    const int code = rc != 0 ? rc : out.error();
    return {"set " + selector->basename() + " failed: error " + std::to_string(code) + ": " +
                get_error_string(code) + "\n",
            false};
  }
  VEXIL_debug |= kFrameDumpBit;
  return {"frame dump of " + arg + " (" + client_value(loc, node) +
              ") on, into the log; debug word " + hex_word(VEXIL_debug) + "\n",
          false};
}

CommandResult set(EqFct& loc, D_fct* prop, const std::string& line,
                  const std::vector<std::string>& w) {
  const std::string& name = w[1];
  EqData in;
  switch (prop->data_type()) {
    case DATA_INT: {
      int v = 0;
      if (w.size() != 3) return {name + " takes one integer value\n", false};
      if (!to_int(w[2], &v))
        return {"'" + w[2] + "' is not an integer: " + name + " takes an integer value\n", false};
      in.set(v);
      break;
    }
    case DATA_IIII: {
      IIII v{};
      int* parts[4] = {&v.i1_data, &v.i2_data, &v.i3_data, &v.i4_data};
      if (w.size() != 6)
        return {name + " takes four integers (line, node-ID and two more)\n", false};
      for (int k = 0; k < 4; ++k) {
        if (!to_int(w[2 + k], parts[k])) {
          return {"'" + w[2 + k] + "' is not an integer: " + name + " takes four integers\n",
                  false};
        }
      }
      in.set(&v);
      break;
    }
    case DATA_STRING:
      in.set(rest_after(line, 2));
      break;
    case DATA_INT64:
    case DATA_UINT64:
    case DATA_DOUBLE: {
      // A device value: the number as written, converted by the property to the object's type.
      if (w.size() != 3) return {name + " takes one number\n", false};
      char* end = nullptr;
      errno = 0;
      std::strtod(w[2].c_str(), &end);
      if (end == w[2].c_str() || *end != '\0' || errno == ERANGE)
        return {"'" + w[2] + "' is not a number: " + name + " takes a number\n", false};
      in.set(w[2]);
      break;
    }
    default:
      return {name + " cannot be set from the console\n", false};
  }
  EqAdr adr(loc.get_location_name() + "/" + name);
  EqData out;
  const int rc = prop->set(&adr, &in, &out, &loc);
  if (rc != 0 || out.error() != 0) {
    const int code = rc != 0 ? rc : out.error();
    return {"set " + name + " failed: error " + std::to_string(code) + ": " +
                get_error_string(code) + "\n",
            false};
  }
  return {name + " = " + client_value(loc, prop) + "\n", false};
}

}  // namespace

std::string property_text(EqFct& loc, const std::string& name) {
  D_fct* prop = loc.find_property(name);
  return prop ? client_value(loc, prop) : std::string();
}

CommandResult run_command(EqFct& loc, const std::string& line) {
  const std::vector<std::string> w = words(line);
  if (w.empty()) return {};
  const std::string& cmd = w[0];
  if (cmd == "quit" || cmd == "exit") return {"stopping\n", true};
  if (cmd == "help" || cmd == "?") return {help_text(), false};
  if (cmd == "debug") return debug(loc, w);
  if (cmd == "read" || cmd == "write") return {sdo_command(loc, line, w), false};
  if (cmd == "list") {
    if (w.size() != 1) return {"list takes no arguments\n", false};
    return list(loc);
  }
  if (cmd == "get" || cmd == "set") {
    if (w.size() < 2)
      return {"usage: " + cmd + (cmd == "get" ? " NAME\n" : " NAME VALUE...\n"), false};
    D_fct* prop = loc.find_property(w[1]);
    if (!prop) {
      return {
          "no property '" + w[1] + "' at location " + loc.get_location_name() + " (try: list)\n",
          false};
    }
    if (cmd == "set") {
      if (w.size() < 3) return {"usage: set NAME VALUE...\n", false};
      return set(loc, prop, line, w);
    }
    if (w.size() != 2) return {"usage: get NAME\n", false};
    return {w[1] + " = " + client_value(loc, prop) + "\n", false};
  }
  return {"unknown command '" + cmd + "' (try: help)\n", false};
}
