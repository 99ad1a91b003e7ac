// The main program of every test program: each test case runs in a process of its own, since
// the library's lines, polled list and driver state live for the whole process.
//
// ctest runs one case per process already (--gtest_filter=Suite.Name), and so does a run with
// a filter that selects one case: those run here directly. Run by hand without such a filter,
// the program lists the cases it selects and runs each in a child process of its own, then
// prints one line per case and a closing "N passed, M failed, K skipped" line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr const char* kChildVariable = "KORVEL_TEST_CASE_PROCESS";

// Runs argv (with the child marker set) and returns its exit status; its standard output and
// error are collected in output.
int run_child(const std::vector<std::string>& args, std::string& output) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setenv(kChildVariable, "1", 1);
    dup2(pipe_fds[1], 1);
    dup2(pipe_fds[1], 2);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  char buf[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    output.append(buf, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// The cases the command line selects, from the program's own listing ("Suite." lines, then
// "  Case" lines).
std::vector<std::string> selected_cases(const std::vector<std::string>& args, bool with_disabled) {
  std::vector<std::string> list_args = args;
  list_args.push_back("--gtest_list_tests");
  std::string listing;
  if (run_child(list_args, listing) != 0) return {};
  std::vector<std::string> cases;
  std::string suite;
  std::size_t pos = 0;
  while (pos < listing.size()) {
    std::size_t end = listing.find('\n', pos);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t comment = line.find("  #");
    if (comment != std::string::npos) line.erase(comment);
    if (line.empty()) continue;
    if (line[0] != ' ') {
      suite = line;  // "Suite."
      continue;
    }
    const std::string name = line.substr(line.find_first_not_of(' '));
    const bool disabled = suite.rfind("DISABLED_", 0) == 0 || name.rfind("DISABLED_", 0) == 0;
    if (!disabled || with_disabled) cases.push_back(suite + name);
  }
  return cases;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  ::testing::InitGoogleMock(&argc, argv);
  if (std::getenv(kChildVariable) || GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();

  // The user's arguments, less the filter: each child gets a filter of its own.
  std::vector<std::string> base;
  for (const std::string& a : args) {
    if (a.rfind("--gtest_filter", 0) != 0) base.push_back(a);
  }
  const std::vector<std::string> cases =
      selected_cases(args, GTEST_FLAG_GET(also_run_disabled_tests));
  if (cases.size() <= 1) return RUN_ALL_TESTS();

  int passed = 0;
  int failed = 0;
  int skipped = 0;
  for (const std::string& name : cases) {
    std::vector<std::string> child = base;
    child.push_back("--gtest_filter=" + name);
    std::string output;
    const int status = run_child(child, output);
    if (status != 0) {
      ++failed;
      std::printf("FAIL %s (exit status %d)\n%s\n", name.c_str(), status, output.c_str());
    } else if (output.find("[  SKIPPED ]") != std::string::npos) {
      ++skipped;
      std::printf("skip %s\n", name.c_str());
    } else {
      ++passed;
      std::printf("ok   %s\n", name.c_str());
    }
    std::fflush(stdout);
  }
  std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
  return failed == 0 ? 0 : 1;
}
