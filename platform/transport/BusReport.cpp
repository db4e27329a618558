#include "BusReport.h"

#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace kestrum::transport {

namespace {

std::string stateFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) return std::string(state) + "/varnex";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/state/varnex";
}

// mkdir -p: creates each missing folder of the path.
void makeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
  return hash;
}

// Both adapter libraries carry their own copy of this code, and each exports
// only its vendor's functions, so they cannot share a variable. A name in the
// abstract socket namespace, held until the process ends, is what they share:
// whoever binds it first reports.
bool firstInProcess(const std::string& key) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  char name[sizeof address.sun_path];
  const int length = std::snprintf(name, sizeof name, "kestrum-bus-report/%ld/%016llx", static_cast<long>(::getpid()),
                                   static_cast<unsigned long long>(fnv1a(key)));
  std::memcpy(address.sun_path + 1, name, static_cast<std::size_t>(length));
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<std::size_t>(length));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) return true;  // fd stays open: the mark
  const bool taken = errno == EADDRINUSE;
  ::close(fd);
  return !taken;
}

}  // namespace

std::string errorFilePath() { return stateFolder() + "/error.txt"; }

void appendErrorLine(const std::string& line) {
  makeFolders(stateFolder());
  const std::string path = errorFilePath();
  // One write in append mode keeps the line whole beside Varnex's own lines.
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Serialises appending and trimming between processes sharing the file.
  ::flock(fd, LOCK_EX);
  writeAll(fd, line + "\n");
  struct stat st {};
  if (::fstat(fd, &st) == 0 && std::uint64_t(st.st_size) > kErrorFileLimit) {
    // A bus that keeps failing must not fill the disk: keep the newest lines,
    // about half the limit, so trimming happens rarely.
    std::string text(std::size_t(st.st_size), '\0');
    const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
    if (n > 0) {
      text.resize(std::size_t(n));
      std::size_t from = text.size() > kErrorFileLimit / 2 ? text.size() - kErrorFileLimit / 2 : 0;
      if (from > 0) {
        const std::size_t lineStart = text.find('\n', from - 1);
        from = lineStart == std::string::npos ? text.size() : lineStart + 1;
      }
      std::string error;
      writeFileAtomically(path, text.substr(from), error);  // on failure the file stays as it was
    }
  }
  ::close(fd);
}

void reportOnce(const std::string& key, const std::string& line) {
  static std::mutex mutex;
  static std::set<std::string> reported;
  std::lock_guard<std::mutex> lock(mutex);
  if (!reported.insert(key).second || !firstInProcess(key)) return;
  writeAll(STDERR_FILENO, line + "\n");
  appendErrorLine(line);
}

}  // namespace kestrum::transport
