#pragma once
#include <string>

namespace varnex {

/// The error file (transmit errors and refused vendor libraries): "error.txt" in $XDG_STATE_HOME/varnex/ (default
/// ~/.local/state/varnex/).
std::string transmitErrorFilePath();

/// Appends "error sending can msg: ID (retry: STATUS)" to the transmit-error
/// file, creating its folder when missing. A line that cannot be written is lost.
void logTransmitError(unsigned id, long retryStatus);

/// Appends `line` and a line break to the same file, in the same way. The
/// file keeps only its newest lines past kestrum::transport::kErrorFileLimit.
void logErrorLine(const std::string& line);

}  // namespace varnex
