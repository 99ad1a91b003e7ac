// console.h - the demo server's standard output: event lines, tables and command replies, and
// the operator's prompt. The prompt is shown only when both standard input and standard output
// are a terminal; output piped to a file or a program carries no prompts.
#ifndef KORVEL_DEMO_CONSOLE_H
#define KORVEL_DEMO_CONSOLE_H

#include <mutex>
#include <string>

class Console {
 public:
  // Looks at the standard descriptors to decide whether to prompt.
  Console();
  explicit Console(bool interactive) : interactive_(interactive) {}

  bool interactive() const { return interactive_; }
  void set_prompt(const std::string& prompt) { prompt_ = prompt; }

  // Writes text (whole lines) to standard output. A prompt on the screen is taken away first
  // and shown again after the text.
  void write(const std::string& text);
  // Shows the prompt when there is none on the screen.
  void prompt();
  // The operator's command as a record in piped output ("DEMO> set PUMP1.STOP 1"); on a
  // terminal the operator sees what was typed and nothing is written.
  void echo(const std::string& command);
  // Writes text to standard error (the library's log lines, from any thread), taking a prompt
  // away first.
  void write_error(const std::string& text);

 private:
  void clear_prompt();  // with mx_ held

  std::mutex mx_;
  bool interactive_;
  bool prompt_shown_ = false;
  std::string prompt_ = "> ";
};

// The console of the process.
Console& console();

#endif  // KORVEL_DEMO_CONSOLE_H
