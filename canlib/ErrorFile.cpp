#include "ErrorFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace varnex {

namespace {

std::string stateFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) return std::string(state) + "/varnex";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/state/varnex";
}

// mkdir -p: creates each missing folder of the path.
void makeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

}  // namespace

std::string transmitErrorFilePath() { return stateFolder() + "/error.txt"; }

void logTransmitError(unsigned id, long retryStatus) {
  char line[80];
  std::snprintf(line, sizeof line, "error sending can msg: %u (retry: %ld)", id, retryStatus);
  logErrorLine(line);
}

void logErrorLine(const std::string& line) {
  // Lines may come from several threads; keep them whole.
  static std::mutex fileLock;
  std::lock_guard<std::mutex> lock(fileLock);
  makeFolders(stateFolder());
  if (FILE* f = std::fopen(transmitErrorFilePath().c_str(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

}  // namespace varnex
