// kestrum-sim: serves a virtual CAN bus over the socketcand protocol, optionally
// paced to a bit rate and with seeded fault injection.
//
// Structure for extension: command-line options live in one table of handlers
// that fill SimOptions; once the bus runs, lines on standard input are looked
// up in a second table of commands. New features (simulated nodes, say) add
// rows to both tables and fields to SimOptions/SimRuntime.

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "layout/InstallLayout.h"
#include "node/NodeCommands.h"
#include "node/NodeHost.h"

namespace {

using kestrum::sim::FaultConfig;
using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;

struct SimOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 29536;
  std::string busName = "can0";
  unsigned bitrateKbit = 0;
  FaultConfig faults;
  std::string tracePath;
  bool allowRemote = false;  ///< serve a non-loopback address
  struct NodeOption {
    std::uint8_t id;
    std::string model;
    unsigned kbit;  ///< 0 = the bus's rate (1000 on an unpaced bus)
  };
  std::vector<NodeOption> nodes;  ///< simulated controllers
  std::string dataDir;   ///< holds XML/EDS_<model>.xml; empty = the executable's folder
  std::string stateDir;  ///< stored parameters; empty = $XDG_STATE_HOME/kestrum-sim
};

/// What standard-input commands act on while the simulator runs.
struct SimRuntime {
  const SimOptions& options;
  VirtualBus& bus;
  SocketcandServer& server;
  kestrum::sim::NodeHost& nodes;
  bool quit = false;
};

// ---------------------------------------------------------------------------
// Value parsing: whole-string, range-checked; false leaves the target alone.

bool parseUnsigned(const std::string& text, unsigned long long max, unsigned long long& out) {
  if (text.empty() || text.size() > 20) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = unsigned(c - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  out = v;
  return true;
}

bool parseReal(const std::string& text, double min, double max, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v < min || v > max) return false;
  out = v;
  return true;
}

bool parseProbability(const std::string& text, double& out, std::string& error) {
  if (parseReal(text, 0.0, 1.0, out)) return true;
  error = "expected a probability from 0 to 1, got '" + text + "'";
  return false;
}

// "HOST:PORT", "[V6ADDR]:PORT".
bool parseListen(const std::string& text, SimOptions& o, std::string& error) {
  const auto colon = text.rfind(':');
  unsigned long long port = 0;
  if (colon == std::string::npos || !parseUnsigned(text.substr(colon + 1), 65535, port)) {
    error = "expected HOST:PORT, got '" + text + "'";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) {
    error = "expected HOST:PORT, got '" + text + "'";
    return false;
  }
  o.host = host;
  o.port = std::uint16_t(port);
  return true;
}

// ---------------------------------------------------------------------------
// Command-line options

struct Option {
  const char* name;
  const char* value;  ///< placeholder shown in --help; nullptr for a plain flag
  const char* help;
  std::function<bool(const std::string& value, SimOptions& options, std::string& error)> apply;
};

const std::vector<Option>& optionTable() {
  static const std::vector<Option> table = {
      {"--listen", "HOST:PORT", "address to serve on (default 127.0.0.1:29536; port 0 picks a free port)",
       parseListen},
      {"--allow-remote", nullptr,
       "allow --listen on an address other machines reach (the bus has no access control)",
       [](const std::string&, SimOptions& o, std::string&) {
         o.allowRemote = true;
         return true;
       }},
      {"--bus", "NAME", "bus name clients open (default can0)",
       [](const std::string& v, SimOptions& o, std::string& e) {
         if (v.empty() || v.find_first_of(" \t\r\n<>") != std::string::npos) {
           e = "invalid bus name '" + v + "'";
           return false;
         }
         o.busName = v;
         return true;
       }},
      {"--bitrate", "KBIT", "pace the bus at this bit rate in kbit/s (1..1000; default unpaced)",
       [](const std::string& v, SimOptions& o, std::string& e) {
         unsigned long long k = 0;
         if (!parseUnsigned(v, 1000, k) || k == 0) {
           e = "expected a bit rate from 1 to 1000 kbit/s, got '" + v + "'";
           return false;
         }
         o.bitrateKbit = unsigned(k);
         return true;
       }},
      {"--drop", "P", "probability that a frame is lost",
       [](const std::string& v, SimOptions& o, std::string& e) { return parseProbability(v, o.faults.drop, e); }},
      {"--duplicate", "P", "probability that a frame arrives twice",
       [](const std::string& v, SimOptions& o, std::string& e) {
         return parseProbability(v, o.faults.duplicate, e);
       }},
      {"--corrupt", "P", "probability that one data bit of a frame flips",
       [](const std::string& v, SimOptions& o, std::string& e) { return parseProbability(v, o.faults.corrupt, e); }},
      {"--delay", "P:MS[-MAX]",
       "probability that a frame is held back, and for how many milliseconds (MS-MAX: a random time in that range)",
       [](const std::string& v, SimOptions& o, std::string& e) {
         const auto colon = v.find(':');
         double p = 0;
         unsigned long long ms = 0, maxMs = 0;
         bool ok = colon != std::string::npos && parseReal(v.substr(0, colon), 0.0, 1.0, p);
         if (ok) {
           const std::string times = v.substr(colon + 1);
           const auto dash = times.find('-');
           ok = parseUnsigned(times.substr(0, dash), 60000, ms);
           maxMs = ms;
           if (ok && dash != std::string::npos) ok = parseUnsigned(times.substr(dash + 1), 60000, maxMs) && maxMs >= ms;
         }
         if (!ok) {
           e = "expected P:MS or P:MIN-MAX (probability 0..1, 0..60000 ms), got '" + v + "'";
           return false;
         }
         o.faults.delay = p;
         o.faults.delayMs = unsigned(ms);
         o.faults.delayMaxMs = unsigned(maxMs);
         return true;
       }},
      {"--foreign", "PER_SECOND", "random frames from a foreign node per second (average)",
       [](const std::string& v, SimOptions& o, std::string& e) {
         if (!parseReal(v, 0.0, 100000.0, o.faults.foreignPerSecond)) {
           e = "expected a rate from 0 to 100000 per second, got '" + v + "'";
           return false;
         }
         return true;
       }},
      {"--seed", "N", "seed of the fault generator (same seed, same faults)",
       [](const std::string& v, SimOptions& o, std::string& e) {
         unsigned long long s = 0;
         if (!parseUnsigned(v, ~0ull, s)) {
           e = "expected a non-negative integer seed, got '" + v + "'";
           return false;
         }
         o.faults.seed = s;
         return true;
       }},
      {"--trace", "FILE", "write every frame to FILE in candump log format",
       [](const std::string& v, SimOptions& o, std::string& e) {
         if (v.empty()) {
           e = "empty trace file name";
           return false;
         }
         o.tracePath = v;
         return true;
       }},
      {"--node", "ID[:MODEL][@KBIT]",
       "simulate a controller with node ID 1..127 (repeatable; model default Mirelo; bit rate 1000, 500, 250, "
       "125, 50 or 20, default the --bitrate or 1000)",
       [](const std::string& v, SimOptions& o, std::string& e) {
         const auto at = v.find('@');
         const std::string idModel = v.substr(0, at);
         unsigned long long kbit = 0;
         if (at != std::string::npos &&
             (!parseUnsigned(v.substr(at + 1), 1000, kbit) || kestrum::sim::bitRateCode(unsigned(kbit)) == 0)) {
           e = "expected a bit rate of 1000, 500, 250, 125, 50 or 20 after '@', got '" + v + "'";
           return false;
         }
         const auto colon = idModel.find(':');
         unsigned long long id = 0;
         const std::string model = colon == std::string::npos ? "Mirelo" : idModel.substr(colon + 1);
         if (!parseUnsigned(idModel.substr(0, colon), 127, id) || id == 0 || model.empty()) {
           e = "expected ID:MODEL with ID 1..127, got '" + v + "'";
           return false;
         }
         o.nodes.push_back({std::uint8_t(id), model, unsigned(kbit)});
         return true;
       }},
      {"--data", "DIR", "folder with XML/EDS_<model>.xml (default: the executable's folder,\n"
       "                           or <prefix>/share/kestrum when installed)",
       [](const std::string& v, SimOptions& o, std::string& e) {
         if (v.empty()) {
           e = "empty folder name";
           return false;
         }
         o.dataDir = v;
         return true;
       }},
      {"--state-dir", "DIR", "where nodes keep stored parameters (default $XDG_STATE_HOME/kestrum-sim)",
       [](const std::string& v, SimOptions& o, std::string& e) {
         if (v.empty()) {
           e = "empty folder name";
           return false;
         }
         o.stateDir = v;
         return true;
       }},
  };
  return table;
}

void printUsage(std::FILE* to) {
  std::fprintf(to, "usage: kestrum-sim [options]\n\nServes a virtual CAN bus over the socketcand protocol.\n\n");
  for (const Option& o : optionTable()) {
    std::string left = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
    std::fprintf(to, "  %-24s %s\n", left.c_str(), o.help);
  }
  std::fprintf(to, "  %-24s %s\n", "--help", "show this text");
  std::fprintf(to, "\nStop with Ctrl+C (SIGINT) or SIGTERM. Type 'help' for commands while running.\n");
  std::fprintf(to, "\n%s", kestrum::sim::nodeCommandHelp());
}

enum class ParseResult { Run, Help, Error };

ParseResult parseArguments(int argc, char** argv, SimOptions& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return ParseResult::Help;
    std::string value;
    bool inlineValue = false;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    const Option* option = nullptr;
    for (const Option& o : optionTable())
      if (arg == o.name) option = &o;
    if (!option) {
      std::fprintf(stderr, "kestrum-sim: unknown option '%s' (see --help)\n", arg.c_str());
      return ParseResult::Error;
    }
    if (option->value && !inlineValue) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kestrum-sim: %s needs a value %s\n", option->name, option->value);
        return ParseResult::Error;
      }
      value = argv[++i];
    }
    std::string error;
    if (!option->apply(value, options, error)) {
      std::fprintf(stderr, "kestrum-sim: %s: %s\n", option->name, error.c_str());
      return ParseResult::Error;
    }
  }
  return ParseResult::Run;
}

// ---------------------------------------------------------------------------
// Standard-input commands

struct Command {
  const char* name;
  const char* help;
  std::function<void(const std::vector<std::string>& args, SimRuntime& rt)> run;
};

const std::vector<Command>& commandTable();

const std::vector<Command>& commandTable() {
  static const std::vector<Command> table = {
      {"help", "list the commands",
       [](const std::vector<std::string>&, SimRuntime&) {
         for (const Command& c : commandTable()) std::printf("%-8s %s\n", c.name, c.help);
       }},
      {"status", "frames on the wire and connected clients",
       [](const std::vector<std::string>&, SimRuntime& rt) {
         std::printf("frames %llu clients %zu\n", static_cast<unsigned long long>(rt.bus.framesOnWire()),
                     rt.server.clientCount());
       }},
      {"quit", "stop the simulator", [](const std::vector<std::string>&, SimRuntime& rt) { rt.quit = true; }},
      {"node", "control a simulated node (node ID input|emcy|powercycle|power|silence|delay|read|write|state ...)",
       [](const std::vector<std::string>& args, SimRuntime& rt) {
         std::string line;
         for (const std::string& a : args) line += (line.empty() ? "" : " ") + a;
         std::fputs(kestrum::sim::runNodeCommand(rt.nodes, line).c_str(), stdout);
       }},
      {"nodes", "list the simulated nodes",
       [](const std::vector<std::string>& args, SimRuntime& rt) {
         std::fputs(kestrum::sim::runNodeCommand(rt.nodes, args[0]).c_str(), stdout);
       }},
  };
  return table;
}

void runCommand(const std::string& line, SimRuntime& rt) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    const std::size_t start = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) words.emplace_back(line, start, i - start);
  }
  if (words.empty()) return;
  for (const Command& c : commandTable()) {
    if (words[0] == c.name) {
      c.run(words, rt);
      std::fflush(stdout);
      return;
    }
  }
  std::printf("unknown command '%s' (try 'help')\n", words[0].c_str());
  std::fflush(stdout);
}

// Waits for SIGINT/SIGTERM while feeding standard-input lines to the command
// table. End of input only stops reading, so the simulator keeps running
// when started in the background or with standard input closed.
void serveUntilSignal(int signalFd, SimRuntime& rt) {
  bool readInput = true;
  std::string pending;
  while (!rt.quit) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const int n = ::poll(fds, readInput ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) return;
    if (readInput && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
      char buf[4096];
      const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
      if (got <= 0) {
        if (got < 0 && errno == EINTR) continue;
        readInput = false;
        continue;
      }
      pending.append(buf, std::size_t(got));
      std::size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos && !rt.quit) {
        runCommand(pending.substr(0, nl), rt);
        pending.erase(0, nl + 1);
      }
      if (pending.size() > 4096) pending.clear();  // an endless line is not a command
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  switch (parseArguments(argc, argv, options)) {
    case ParseResult::Help:
      printUsage(stdout);
      return 0;
    case ParseResult::Error:
      return 2;
    case ParseResult::Run:
      break;
  }

  // Block the stop signals before any thread starts, so every thread inherits
  // the mask and they arrive only through the signal fd below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("kestrum-sim: signalfd");
    return 1;
  }

  VirtualBus bus(options.bitrateKbit);
  bus.setFaults(options.faults);
  std::string error;
  if (!options.tracePath.empty() && !bus.setTrace(options.tracePath, options.busName, error)) {
    std::fprintf(stderr, "kestrum-sim: cannot write trace: %s\n", error.c_str());
    return 1;
  }
  SocketcandServer server(bus, options.busName);
  server.setAllowRemote(options.allowRemote);
  if (!server.start(options.host, options.port, error)) {
    std::fprintf(stderr, "kestrum-sim: %s\n", error.c_str());
    return 1;
  }
  kestrum::sim::NodeHost nodes(bus,
                               options.dataDir.empty() ? kestrum::layout::folders().data : options.dataDir,
                               options.stateDir.empty() ? kestrum::sim::NodeHost::defaultStateDir() : options.stateDir);
  for (const auto& [id, model, kbit] : options.nodes) {
    if (!nodes.addNode(id, model, error, kbit)) {
      std::fprintf(stderr, "kestrum-sim: --node %u:%s: %s\n", unsigned(id), model.c_str(), error.c_str());
      return 1;
    }
  }
  const bool v6 = options.host.find(':') != std::string::npos;
  std::printf("listening on %s%s%s:%u\n", v6 ? "[" : "", options.host.c_str(), v6 ? "]" : "",
              unsigned(server.port()));
  std::fflush(stdout);

  SimRuntime runtime{options, bus, server, nodes};
  serveUntilSignal(signalFd, runtime);
  server.stop();
  ::close(signalFd);
  return 0;
}
