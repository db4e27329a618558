#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrum::transport {

namespace {

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error) {
  // Beside the target: rename() replaces a file atomically only within one
  // file system.
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  auto fail = [&](int code) {
    error = "cannot write " + path + ": " + std::strerror(code);
    ::unlink(temp.c_str());
    return false;
  };
  // mkstemp creates 0600; the file keeps the mode an ordinary new file gets.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int code = n < 0 ? errno : ENOSPC;
      ::close(fd);
      return fail(code);
    }
    done += std::size_t(n);
  }
  // The data reaches the disk before the name does: otherwise a power cut
  // soon after the rename can leave an empty file under the old name.
  if (::fsync(fd) != 0) {
    const int code = errno;
    ::close(fd);
    return fail(code);
  }
  if (::close(fd) != 0) return fail(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
  // The rename itself is durable once the folder is synced (best effort).
  if (const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  error.clear();
  return true;
}

}  // namespace kestrum::transport
