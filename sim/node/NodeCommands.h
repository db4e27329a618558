#pragma once
#include <string>

namespace kestrum::sim {

class NodeHost;

/// Runs one control command line (as typed on the simulator's standard input)
/// against the host and returns the reply: "ok", a value, or "error: ...".
/// Blank lines and lines starting with '#' return an empty reply.
std::string runNodeCommand(NodeHost& host, const std::string& line);

/// The command summary printed by `kestrum-sim --help` and the "help" command.
const char* nodeCommandHelp();

}  // namespace kestrum::sim
