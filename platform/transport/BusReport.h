#pragma once
// Telling the user about buses named in KESTRUM_BUS that cannot be used: on
// standard error and in the error file Varnex keeps, once per process.

#include <cstddef>
#include <string>

namespace kestrum::transport {

/// The error file never grows much past this: past it, the oldest lines go,
/// leaving the newest half.
constexpr std::size_t kErrorFileLimit = 256 * 1024;

/// The error file of Varnex and the adapter libraries: "error.txt" in
/// $XDG_STATE_HOME/varnex/ (default ~/.local/state/varnex/).
std::string errorFilePath();

/// Appends one line to the error file, creating its folder when missing, and
/// trims the file past kErrorFileLimit. A line that cannot be written is lost.
void appendErrorLine(const std::string& line);

/// Prints `line` on standard error and appends it to the error file, unless a
/// line for `key` was reported in this process already (by either adapter
/// library: both read the same KESTRUM_BUS).
void reportOnce(const std::string& key, const std::string& line);

}  // namespace kestrum::transport
