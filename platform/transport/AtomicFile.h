#pragma once
// Files the library and the simulator write (the error file when trimmed, the
// simulated nodes' state) are replaced whole: written to a temporary file in
// the same folder, flushed to disk and renamed over the old one. A crash or a
// full disk leaves the previous file intact, never half a file.

#include <string>

namespace kestrum::transport {

/// Replaces `path` with `content`; false with the reason in `error` and the
/// previous file untouched (no temporary file is left behind).
bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error);

}  // namespace kestrum::transport
