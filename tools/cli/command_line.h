// command_line.h - the command-line conventions of every program we ship:
//   --help       the usage text on standard output, exit 0
//   --version    "<program> <version>" on standard output, exit 0
//   a bad line   one message naming the option or value on standard error, exit 2
// Options are "--name VALUE" or "--name=VALUE"; flags take no value.
#ifndef KORVEL_TOOLS_COMMAND_LINE_H
#define KORVEL_TOOLS_COMMAND_LINE_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace korvel_cli {

// The exit status of a command line that is wrong.
constexpr int kUsageError = 2;

// Checks and stores one option value; returns an empty text when the value is good, else what
// is wrong with it ("a number from 0 to 65535").
using ValueHandler = std::function<std::string(const std::string& value)>;

class CommandLine {
 public:
  CommandLine(std::string program, std::string version, std::string usage)
      : program_(std::move(program)), version_(std::move(version)), usage_(std::move(usage)) {}

  // "--name": sets *on.
  void flag(const std::string& name, bool* on) { options_.push_back({name, false, nullptr, on}); }
  // "--name VALUE".
  void value(const std::string& name, ValueHandler handler) {
    options_.push_back({name, true, std::move(handler), nullptr});
  }
  // Arguments that are no option; without a handler they are refused.
  void positional(ValueHandler handler) { positional_ = std::move(handler); }

  // Parses argv. Returns -1 when the program should run; otherwise the exit status, after the
  // usage, the version or the error has been printed.
  int parse(int argc, char** argv, std::FILE* out = stdout, std::FILE* err = stderr) const {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
      std::string name = args[i];
      if (name == "--help" || name == "-h") {
        std::fputs(usage_.c_str(), out);
        return 0;
      }
      if (name == "--version") {
        std::fprintf(out, "%s %s\n", program_.c_str(), version_.c_str());
        return 0;
      }
      if (name.size() < 2 || name[0] != '-' || name == "--") {
        if (!positional_) return fail(err, "unexpected argument '" + name + "'");
        const std::string why = positional_(name);
        if (!why.empty()) return fail(err, "bad argument '" + name + "': " + why);
        continue;
      }
      std::string text;
      bool inline_value = false;
      const std::size_t eq = name.find('=');
      if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
        text = name.substr(eq + 1);
        name.erase(eq);
        inline_value = true;
      }
      const Option* o = find(name);
      if (!o) return fail(err, "unknown option '" + name + "'");
      if (!o->takes_value) {
        if (inline_value) return fail(err, "option " + name + " takes no value");
        *o->on = true;
        continue;
      }
      if (!inline_value) {
        if (i + 1 >= args.size()) return fail(err, "option " + name + " needs a value");
        text = args[++i];
      }
      const std::string why = o->handler(text);
      if (!why.empty()) return fail(err, "bad value '" + text + "' for " + name + ": " + why);
    }
    return -1;
  }

  // Prints "<program>: <message>" and how to get help; returns kUsageError.
  int fail(std::FILE* err, const std::string& message) const {
    std::fprintf(err, "%s: %s\nTry '%s --help' for more information.\n", program_.c_str(),
                 message.c_str(), program_.c_str());
    return kUsageError;
  }

 private:
  struct Option {
    std::string name;
    bool takes_value;
    ValueHandler handler;
    bool* on;
  };
  const Option* find(const std::string& name) const {
    for (const Option& o : options_) {
      if (o.name == name) return &o;
    }
    return nullptr;
  }

  std::string program_;
  std::string version_;
  std::string usage_;
  std::vector<Option> options_;
  ValueHandler positional_;
};

// Value handlers for the usual kinds of values.
inline ValueHandler text_into(std::string* out) {
  return [out](const std::string& v) -> std::string {
    if (v.empty()) return "an empty value";
    *out = v;
    return std::string();
  };
}

inline ValueHandler integer_into(long* out, long lo, long hi) {
  return [out, lo, hi](const std::string& v) -> std::string {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0 || n < lo || n > hi) {
      return "expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    }
    *out = n;
    return std::string();
  };
}

inline ValueHandler positive_into(double* out) {
  return [out](const std::string& v) -> std::string {
    char* end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(d > 0) || d > 1e12) return "expected a positive number";
    *out = d;
    return std::string();
  };
}

}  // namespace korvel_cli

#endif  // KORVEL_TOOLS_COMMAND_LINE_H
