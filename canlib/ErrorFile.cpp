#include "ErrorFile.h"

#include <cstdio>

#include "transport/BusReport.h"

namespace varnex {

// The adapter libraries report unusable buses into the same file; one
// writer keeps its place and its line format in one spot.
std::string transmitErrorFilePath() { return kestrum::transport::errorFilePath(); }

void logTransmitError(unsigned id, long retryStatus) {
  char line[80];
  std::snprintf(line, sizeof line, "error sending can msg: %u (retry: %ld)", id, retryStatus);
  logErrorLine(line);
}

void logErrorLine(const std::string& line) { kestrum::transport::appendErrorLine(line); }

}  // namespace varnex
