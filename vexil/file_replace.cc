// Replacing a file's contents through a new file renamed over it.
#include "file_replace.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

namespace vexil {
namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel allows when resolving a path
constexpr int kMaxNameTries = 100;
constexpr int kNameRandomChars = 12;

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a chain of symbolic links finally names (which need not exist yet); `path` itself
// when it is no link. Empty, with errno set, when the chain cannot be followed.
std::string final_target(const std::string& path) {
  std::string target = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
    if (hops == kMaxLinkHops) {
      errno = ELOOP;
      return std::string();
    }
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(target.c_str(), &link[0], link.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) >= link.size()) {  // grew meanwhile: read it again
      --hops;
      continue;
    }
    link.resize(static_cast<std::size_t>(n));
    if (link.empty()) {
      errno = ENOENT;
      return std::string();
    }
    target = link[0] == '/' ? link : folder_of(target) + "/" + link;
  }
}

// Letters and digits no other process can guess.
std::string random_chars(int n) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kNameRandomChars];
  const std::size_t want = static_cast<std::size_t>(n);
  if (::getrandom(bytes, want, 0) != static_cast<ssize_t>(want)) {
    std::random_device rd;
    for (std::size_t i = 0; i < want; ++i) bytes[i] = static_cast<unsigned char>(rd());
  }
  std::string out;
  for (std::size_t i = 0; i < want; ++i) out += kAlphabet[bytes[i] % (sizeof kAlphabet - 1)];
  return out;
}

// The process's umask, read without changing it (umask() would, for every thread at once).
mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    unsigned mask = 0;
    if (std::sscanf(line.c_str(), "Umask: %o", &mask) == 1) return static_cast<mode_t>(mask);
  }
  return 022;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

ReplaceFailure replace_file(const std::string& path, const std::string& text, std::string& file,
                            std::string& reason) {
  auto fail = [&](ReplaceFailure step, const std::string& f, int err) {
    file = f;
    reason = std::strerror(err);
    return step;
  };

  const std::string target = final_target(path);
  if (target.empty()) return fail(ReplaceFailure::kWrite, path, errno);

  // What the new file must keep of the old one.
  struct stat old_st;
  const bool exists = ::stat(target.c_str(), &old_st) == 0;
  const mode_t mode = exists ? (old_st.st_mode & 07777) : (0666 & ~current_umask());

  // Created exclusively under a fresh name: a file or link planted beside the target is never
  // opened, and no other process can name the new file in advance.
  const std::string prefix = folder_of(target) + "/." + name_of(target) + ".";
  std::string tmp;
  int fd = -1;
  for (int tries = 0; fd < 0 && tries < kMaxNameTries; ++tries) {
    tmp = prefix + random_chars(kNameRandomChars);
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(ReplaceFailure::kWrite, tmp, errno);

  auto abandon = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    return fail(ReplaceFailure::kWrite, tmp, err);
  };
  if (!write_all(fd, text)) return abandon(errno);
  struct stat new_st;
  if (::fstat(fd, &new_st) != 0) return abandon(errno);
  // Owner before mode: a change of owner clears the set-user and set-group bits.
  if (exists && (new_st.st_uid != old_st.st_uid || new_st.st_gid != old_st.st_gid) &&
      ::fchown(fd, old_st.st_uid, old_st.st_gid) != 0) {
    return abandon(errno);
  }
  if (::fchmod(fd, mode) != 0) return abandon(errno);
  if (::fsync(fd) != 0) return abandon(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return fail(ReplaceFailure::kWrite, tmp, err);
  }

  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return fail(ReplaceFailure::kReplace, target, err);
  }
  // The rename itself survives a crash once the folder is synced (best effort).
  const int dir = ::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return ReplaceFailure::kNone;
}

}  // namespace vexil
