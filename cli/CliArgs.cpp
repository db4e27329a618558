#include "CliArgs.h"

#include <map>

namespace {

struct CommandHelp {
  const char* name;
  const char* usage;
  const char* text;
  QStringList options;  ///< the options the sub-command takes besides the common ones
};

const std::vector<CommandHelp>& commandTable() {
  static const std::vector<CommandHelp> table = {
      {"adapters", "adapters", "List the CAN adapters as the main window's adapter list shows them.", {}},
      {"scan", "scan [--bitrate K ...] [--quick|--full] [--from N] [--to N]",
       "Scan the bus for nodes at each given bit rate (default: 1000, 500, 250, 125, 50 and 20) and list\n"
       "each node found with vendor, controller name and firmware version. --quick (the default) asks\n"
       "every node ID at once and takes a fraction of a second per bit rate; --full probes one node ID\n"
       "after the other as the scan window does (about 0.8 s per node ID). --from and --to bound the\n"
       "node IDs (default 1 and 127).",
       {"--quick", "--full", "--from", "--to"}},
      {"info", "info NODE", "Show the node's identity, versions and NMT state.", {}},
      {"read", "read NODE INDEX[:SUB] ...",
       "Read objects, typed by the dictionary of the node's controller. INDEX is hexadecimal (6041 or\n"
       "0x6041); without SUB every subindex of the object is read.",
       {}},
      {"write", "write NODE INDEX:SUB VALUE ...",
       "Write objects; each VALUE (decimal or 0x hexadecimal) must fit the object's type.", {}},
      {"nmt", "nmt NODE start|stop|preop|reset|reset-comm",
       "Send an NMT command to the node and wait until it reports the new state (after a reset: its\n"
       "boot-up).",
       {}},
      {"dump", "dump NODE FILE",
       "Read every object of the node's dictionary and write them in the SDO list's file format\n"
       "(what \"Save to File\" writes).",
       {}},
      {"load", "load NODE FILE [--verify] [--store]",
       "Write the values of a list file to the node with the rules of \"Save All\": PDO objects,\n"
       "0x6040 and the store/restore objects without their signatures are not written; the node is\n"
       "written pre-operational and returned to its NMT state. The drive must be switched off.\n"
       "--verify reads every written object back and reports differences; --store then stores the\n"
       "parameters in the node (0x1010:1).",
       {"--verify", "--store"}},
      {"flash", "flash NODE FILE.hex",
       "Download firmware to the node with the library's firmware download, showing its progress.", {}},
      {"log", "log [--seconds S] [--candump FILE]",
       "Show every frame on the bus decoded as the CAN log shows it, for S seconds (default: until\n"
       "Ctrl+C); with --candump write the frames to FILE in candump log format instead.",
       {"--seconds", "--candump"}},
  };
  return table;
}

const CommandHelp* findCommand(const QString& name) {
  for (const CommandHelp& c : commandTable())
    if (name == QLatin1String(c.name)) return &c;
  return nullptr;
}

const char* const kCommon =
    "Common options:\n"
    "  --adapter NAME   an entry of the adapter list (see 'adapters'), e.g. PCAN_USBBUS1 or IXXAT;\n"
    "                   default the first entry\n"
    "  --bitrate K      bit rate in kbit/s: 1000, 500, 250, 125, 50 or 20 (default 1000)\n"
    "  --timeout MS     SDO time-out in milliseconds, 1 to 10000 (default 2000)\n"
    "  --json           one JSON object per result line\n"
    "  --help           this text\n"
    "Exit status: 0 success, 1 the bus answered with a failure (abort, time-out), 2 usage error.\n";

bool toInt(const QString& text, int min, int max, int& out) {
  bool ok = false;
  const int v = text.toInt(&ok, 10);
  if (!ok || v < min || v > max) return false;
  out = v;
  return true;
}

}  // namespace

const QStringList& cliCommands() {
  static const QStringList names = [] {
    QStringList n;
    for (const CommandHelp& c : commandTable()) n << QLatin1String(c.name);
    return n;
  }();
  return names;
}

QString cliHelp(const QString& command) {
  if (command.isEmpty()) {
    QString text = QStringLiteral("usage: kestrum-cli COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n");
    for (const CommandHelp& c : commandTable()) text += QStringLiteral("  %1\n").arg(QLatin1String(c.usage));
    return text + QStringLiteral("\n") + QLatin1String(kCommon) +
           QStringLiteral("\n'kestrum-cli COMMAND --help' describes one command.\n");
  }
  const CommandHelp* c = findCommand(command);
  if (!c) return {};
  return QStringLiteral("usage: kestrum-cli %1\n\n%2\n\n%3")
      .arg(QLatin1String(c->usage), QLatin1String(c->text), QLatin1String(kCommon));
}

std::optional<CliArgs> parseCliArgs(const QStringList& arguments, QString& error) {
  CliArgs a;
  static const QStringList valued = {"--adapter", "--bitrate", "--timeout", "--from", "--to", "--seconds", "--candump"};
  static const QStringList common = {"--adapter", "--bitrate", "--timeout", "--json", "--help"};
  for (int i = 1; i < arguments.size(); ++i) {
    QString arg = arguments[i];
    if (arg == QLatin1String("-h")) arg = QStringLiteral("--help");
    if (!arg.startsWith(QLatin1String("--"))) {
      if (a.command.isEmpty())
        a.command = arg;
      else
        a.positional << arg;
      continue;
    }
    QString value;
    bool hasValue = false;
    if (const int eq = arg.indexOf(QLatin1Char('=')); eq > 0) {
      value = arg.mid(eq + 1);
      arg = arg.left(eq);
      hasValue = true;
    }
    const bool needsValue = valued.contains(arg);
    if (needsValue && !hasValue) {
      if (i + 1 >= arguments.size()) {
        error = QStringLiteral("option %1 needs a value").arg(arg);
        return std::nullopt;
      }
      value = arguments[++i];
    } else if (!needsValue && hasValue) {
      error = QStringLiteral("option %1 takes no value").arg(arg);
      return std::nullopt;
    }
    static const QStringList known = valued + QStringList{"--json", "--help", "--quick", "--full", "--verify", "--store"};
    if (!known.contains(arg)) {
      error = QStringLiteral("unknown option %1").arg(arg);
      return std::nullopt;
    }
    if (const CommandHelp* c = findCommand(a.command);
        c && !common.contains(arg) && !c->options.contains(arg)) {
      error = QStringLiteral("'%1' does not take the option %2").arg(a.command, arg);
      return std::nullopt;
    }
    auto bad = [&](const QString& what) {
      error = QStringLiteral("%1: expected %2, got '%3'").arg(arg, what, value);
      return std::nullopt;
    };
    if (arg == QLatin1String("--help")) {
      a.help = true;
    } else if (arg == QLatin1String("--json")) {
      a.json = true;
    } else if (arg == QLatin1String("--adapter")) {
      a.adapter = value;
    } else if (arg == QLatin1String("--bitrate")) {
      int k = 0;
      static const QList<int> rates = {1000, 500, 250, 125, 50, 20};
      if (!toInt(value, 1, 1000, k) || !rates.contains(k)) return bad(QStringLiteral("1000, 500, 250, 125, 50 or 20"));
      a.bitrates.push_back(k);
    } else if (arg == QLatin1String("--timeout")) {
      if (!toInt(value, 1, 10000, a.timeoutMs)) return bad(QStringLiteral("a time-out of 1 to 10000 ms"));
    } else if (arg == QLatin1String("--from")) {
      if (!toInt(value, 1, 127, a.from)) return bad(QStringLiteral("a node ID of 1 to 127"));
    } else if (arg == QLatin1String("--to")) {
      if (!toInt(value, 1, 127, a.to)) return bad(QStringLiteral("a node ID of 1 to 127"));
    } else if (arg == QLatin1String("--quick")) {
      a.full = false;
    } else if (arg == QLatin1String("--full")) {
      a.full = true;
    } else if (arg == QLatin1String("--verify")) {
      a.verify = true;
    } else if (arg == QLatin1String("--store")) {
      a.store = true;
    } else if (arg == QLatin1String("--seconds")) {
      bool ok = false;
      a.seconds = value.toDouble(&ok);
      if (!ok || a.seconds <= 0 || a.seconds > 86400) return bad(QStringLiteral("seconds from 0 to 86400"));
    } else if (arg == QLatin1String("--candump")) {
      if (value.isEmpty()) return bad(QStringLiteral("a file name"));
      a.candump = value;
    } else {
      error = QStringLiteral("unknown option %1").arg(arg);
      return std::nullopt;
    }
  }
  if (!a.help && a.command.isEmpty()) {
    error = QStringLiteral("no command given");
    return std::nullopt;
  }
  if (!a.command.isEmpty() && !findCommand(a.command)) {
    error = QStringLiteral("unknown command '%1'").arg(a.command);
    return std::nullopt;
  }
  if (a.from > a.to) {
    error = QStringLiteral("--from %1 is above --to %2").arg(a.from).arg(a.to);
    return std::nullopt;
  }
  return a;
}
