// The gateway reset: address parsing and the bounded wget run.
#include "gateway_reset.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

extern char** environ;

namespace korvel {
namespace {

constexpr const char* kResetUser = "vexiladm";
constexpr const char* kResetPassword = "rqx8mulfo";
constexpr const char* kResetPath = "/Forms/Firmware";
constexpr const char* kResetForm = "FWUpdReset=1";
// wget's own time-out for each connect and read: a frozen gateway usually makes wget give up
// by itself (a challenge costs a second request); the limit of the whole run stops it else.
constexpr std::chrono::seconds kWgetTimeout{10};
// The file descriptor under which wget finds its configuration.
constexpr int kConfigFd = 3;

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string errno_text(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

bool write_all(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// An anonymous in-memory file holding wget's configuration: the credentials. It lives in no
// folder and disappears with its last descriptor. Kept off the low descriptors, so that
// placing it at kConfigFd in the child is always a real copy (which clears close-on-exec).
int credentials_file(std::string& error) {
  Fd mem(::memfd_create("korvel-reset", MFD_CLOEXEC));
  if (mem.get() < 0) {
    error = errno_text("memfd_create", errno);
    return -1;
  }
  const std::string config =
      std::string("http_user = ") + kResetUser + "\nhttp_password = " + kResetPassword + "\n";
  if (!write_all(mem.get(), config)) {
    error = errno_text("write", errno);
    return -1;
  }
  const int fd = ::fcntl(mem.get(), F_DUPFD_CLOEXEC, 10);
  if (fd < 0) error = errno_text("fcntl", errno);
  return fd;
}

// Waits for the child until `deadline`; true when it ended (status in *status).
bool wait_until(pid_t pid, std::chrono::steady_clock::time_point deadline, int* status) {
  // A process descriptor turns readable when the child ends: one poll, no busy waiting.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  Fd guard(pidfd);
  while (true) {
    const pid_t w = ::waitpid(pid, status, WNOHANG);
    if (w == pid) return true;
    if (w < 0 && errno != EINTR) {
      *status = -1;  // not ours to wait for (children reaped elsewhere): it is gone
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left));
    } else {
      // Kernels without process descriptors: look again every 20 ms.
      const long ms = left < 20 ? static_cast<long>(left) : 20L;
      const timespec pause{0, ms * 1000000L};
      ::nanosleep(&pause, nullptr);
    }
  }
}

}  // namespace

std::string gateway_address(const std::string& written) {
  std::string out;
  int groups = 0;
  std::size_t i = 0;
  while (true) {
    std::size_t digits = 0;
    int value = 0;
    while (i < written.size() && std::isdigit(static_cast<unsigned char>(written[i])) &&
           digits < 4) {
      value = value * 10 + (written[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255) return std::string();
    out += std::to_string(value);
    ++groups;
    if (i == written.size()) return groups == 4 ? out : std::string();
    if (written[i] != '.' || groups == 4) return std::string();
    out += '.';
    ++i;
  }
}

std::string reset_command_text(const std::string& address) {
  return std::string("wget --post-data=\"") + kResetForm + "\" http://" + kResetUser + ":***@" +
         address + kResetPath;
}

ResetRun post_gateway_reset(const std::string& address, std::chrono::milliseconds limit) {
  ResetRun run;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  Fd config(credentials_file(run.error));
  if (config.get() < 0) return run;

  const std::string timeout = "--timeout=" + std::to_string(kWgetTimeout.count());
  const std::string config_arg = "--config=/dev/fd/" + std::to_string(kConfigFd);
  const std::string post = std::string("--post-data=") + kResetForm;
  const std::string url = "http://" + address + kResetPath;
  // -O /dev/null: the gateway's answer is not kept; --tries=1: one run, bounded by the limit.
  std::vector<const char*> argv = {"wget",       "--quiet",       "--output-document=/dev/null",
                                   "--tries=1",  timeout.c_str(), config_arg.c_str(),
                                   post.c_str(), url.c_str(),     nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, config.get(), kConfigFd);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // wget holds none of the server's descriptors (its gateway connections among them).
  posix_spawn_file_actions_addclosefrom_np(&actions, kConfigFd + 1);
#endif
  pid_t pid = -1;
  const int err = ::posix_spawnp(&pid, "wget", &actions, nullptr,
                                 const_cast<char* const*>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    run.error = errno_text("wget", err);
    return run;
  }
  run.started = true;

  int status = 0;
  if (!wait_until(pid, deadline, &status)) {
    run.timed_out = true;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return run;
  }
  if (status >= 0 && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  return run;
}

}  // namespace korvel
