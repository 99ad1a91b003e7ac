// The command-line conventions of the programs we ship: the shared parser on its own, and the
// gateway simulator and the SocketCAN device simulator run as a user runs them.
#include "cli/command_line.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Parsed {
  int status;
  std::string out, err;
};

// Parses args (after a program name) with the parser's output and errors caught.
Parsed parse(const korvel_cli::CommandLine& cl, std::vector<std::string> args) {
  args.insert(args.begin(), "prog");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Parsed p{cl.parse(static_cast<int>(argv.size()), argv.data(), out, err), "", ""};
  for (auto [f, text] : {std::pair<std::FILE*, std::string*>{out, &p.out}, {err, &p.err}}) {
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) text->push_back(static_cast<char>(c));
    std::fclose(f);
  }
  return p;
}

struct ProgramRun {
  int status;
  std::string out;  // standard output and error together
};

ProgramRun run_program(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, ""};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ::close(fds[1]);
  ProgramRun r{-1, ""};
  char buf[1024];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    r.out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
  return r;
}

bool has(const std::string& text, const std::string& fragment) {
  return text.find(fragment) != std::string::npos;
}

// --help prints the usage and --version the program's name and the project's version, both
// with status 0.
void expect_help_and_version(const std::string& bin, const std::string& name) {
  ProgramRun r = run_program({bin, "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: " + name, 0), 0u) << r.out;
  r = run_program({bin, "--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, name + " " + KORVEL_VERSION + "\n");
}

}  // namespace

TEST(CommandLine, TakesOptionsInBothSpellingsAndNamesWhatIsWrong) {
  std::string name;
  long count = 0;
  double rate = 0;
  bool loud = false;
  std::vector<std::string> files;
  korvel_cli::CommandLine cl("prog", "1.2.3", "usage: prog [options]\n");
  cl.value("--name", korvel_cli::text_into(&name));
  cl.value("--count", korvel_cli::integer_into(&count, -1, 10));
  cl.value("--rate", korvel_cli::positive_into(&rate));
  cl.flag("--loud", &loud);
  cl.positional([&files](const std::string& f) {
    return f == "bad" ? std::string("not a file") : (files.push_back(f), "");
  });

  Parsed p = parse(cl, {"--name", "x y", "--count=-1", "a", "--rate", "2.5", "--loud", "b"});
  EXPECT_EQ(p.status, -1);
  EXPECT_EQ(name, "x y");
  EXPECT_EQ(count, -1);
  EXPECT_EQ(rate, 2.5);
  EXPECT_TRUE(loud);
  EXPECT_EQ(files, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(p.out + p.err, "");

  p = parse(cl, {"--count", "3", "--help", "--bogus"});  // help answers before later mistakes
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, "usage: prog [options]\n");
  p = parse(cl, {"--version"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, "prog 1.2.3\n");

  const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
      {{"--bogus"}, "prog: unknown option '--bogus'\n"},
      {{"-x"}, "prog: unknown option '-x'\n"},
      {{"--count", "11"},
       "prog: bad value '11' for --count: expected a whole number from -1 to 10\n"},
      {{"--count", "3x"},
       "prog: bad value '3x' for --count: expected a whole number from -1 to 10\n"},
      {{"--count", "99999999999999999999"},
       "prog: bad value '99999999999999999999' for --count: expected a whole number from -1 to "
       "10\n"},
      {{"--rate=0"}, "prog: bad value '0' for --rate: expected a positive number\n"},
      {{"--rate", "nan"}, "prog: bad value 'nan' for --rate: expected a positive number\n"},
      {{"--name"}, "prog: option --name needs a value\n"},
      {{"--name="}, "prog: bad value '' for --name: an empty value\n"},
      {{"--loud=1"}, "prog: option --loud takes no value\n"},
      {{"bad"}, "prog: bad argument 'bad': not a file\n"},
  };
  for (const auto& w : wrong) {
    SCOPED_TRACE(w.first.front());
    p = parse(cl, w.first);
    EXPECT_EQ(p.status, korvel_cli::kUsageError);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, w.second + "Try 'prog --help' for more information.\n");
  }
}

TEST(ShippedPrograms, GatewaySimulatorFollowsTheConventionsAndSaysWhyAPortIsRefused) {
  expect_help_and_version(KORVEL_GATEWAY_SIM_BIN, "korvel_gateway_sim");
  ProgramRun r = run_program({KORVEL_GATEWAY_SIM_BIN, "--port", "70000"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.out, "bad value '70000' for --port")) << r.out;
  r = run_program({KORVEL_GATEWAY_SIM_BIN, "--config", "/nonexistent/gateway.conf"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.out, "'/nonexistent/gateway.conf' for --config: cannot read it")) << r.out;

  // A port another program listens on.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  socklen_t len = sizeof a;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const std::string port = std::to_string(ntohs(a.sin_port));
  r = run_program({KORVEL_GATEWAY_SIM_BIN, "--port", port, "--http-port", "-1"});
  ::close(fd);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "cannot listen on 127.0.0.1:" + port +
                             ": Address already in use (another program listens"))
      << r.out;
}

TEST(ShippedPrograms, DeviceSimulatorFollowsTheConventions) {
  expect_help_and_version(KORVEL_DEVSIM_BIN, "korvel_canopen_devsim");
  ProgramRun r = run_program({KORVEL_DEVSIM_BIN, "--bogus", "5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.out, "--bogus")) << r.out;
  EXPECT_TRUE(has(r.out, "Try 'korvel_canopen_devsim --help'")) << r.out;
  r = run_program({KORVEL_DEVSIM_BIN, "-i"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.out, "-i needs a value")) << r.out;
}
