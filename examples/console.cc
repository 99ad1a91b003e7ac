// The demo server's console output and prompt.
#include "console.h"

#include <unistd.h>

#include <cstdio>

Console::Console() : interactive_(isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1) {}

void Console::clear_prompt() {
  if (!prompt_shown_) return;
  std::fputs("\r\033[K", stdout);  // the prompt's line is cleared and reused
  std::fflush(stdout);
  prompt_shown_ = false;
}

void Console::write(const std::string& text) {
  if (text.empty()) return;
  std::lock_guard<std::mutex> lk(mx_);
  clear_prompt();
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void Console::write_error(const std::string& text) {
  std::lock_guard<std::mutex> lk(mx_);
  clear_prompt();
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void Console::prompt() {
  std::lock_guard<std::mutex> lk(mx_);
  if (!interactive_ || prompt_shown_) return;
  std::fputs(prompt_.c_str(), stdout);
  std::fflush(stdout);
  prompt_shown_ = true;
}

void Console::echo(const std::string& command) {
  if (interactive_) {
    std::lock_guard<std::mutex> lk(mx_);
    prompt_shown_ = false;  // the operator's Enter moved past the prompt
    return;
  }
  write(prompt_ + command + "\n");
}

Console& console() {
  static Console c;
  return c;
}
