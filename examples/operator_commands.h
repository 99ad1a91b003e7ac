// operator_commands.h - the operator's console of the demo server: lines read from a file
// descriptor without ever blocking the poll loop, and the commands run on the location's
// properties through their client interface (get / set with EqData), as a remote client would.
#ifndef KORVEL_DEMO_OPERATOR_COMMANDS_H
#define KORVEL_DEMO_OPERATOR_COMMANDS_H

#include <string>
#include <vector>

class EqFct;

// Complete lines from a descriptor (standard input), taken whenever they have arrived.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The lines that arrived since the last call, without their line ends. Never waits. A last
  // line without a line end is passed on at end of input.
  std::vector<std::string> take_lines();
  // True once the input has ended (or cannot be read); later calls return nothing.
  bool ended() const { return ended_; }

 private:
  int fd_;
  bool ended_ = false;
  std::string partial_;
};

// What a command asks of the server besides its reply.
struct CommandResult {
  std::string reply;  // text for the operator, ends with a line end (empty: nothing to say)
  bool quit = false;
  bool show_table = false;  // the status table follows the reply
};

// The library's debug-word bit that dumps the frames received by the node named in the
// location's DEBUG_ID property into the log.
constexpr int kFrameDumpBit = 0x100000;

// Runs one operator command on the location:
//   list | get NAME | set NAME VALUE... | debug [NODE|WORD|off] | read NODE INDEX SUB |
//   write NODE INDEX SUB VALUE | help | quit
// NAME is a property's base name (e.g. PUMP1.STOP). An integer property takes one integer,
// a node's identity four, a text property the rest of the line. `debug NODE` turns on the
// frame dump for that node (debug word and DEBUG_ID), `debug WORD` sets the debug word,
// `debug off` clears it.
CommandResult run_command(EqFct& loc, const std::string& line);

// Client view of a property's value as text ("5", "1 5 0 0", a text); an error of the
// property shows as "error <code>: <text>".
std::string property_text(EqFct& loc, const std::string& name);

#endif  // KORVEL_DEMO_OPERATOR_COMMANDS_H
