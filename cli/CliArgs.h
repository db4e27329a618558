#pragma once
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

/// Exit codes of kestrum-cli.
enum CliExit { kExitOk = 0, kExitBus = 1, kExitUsage = 2 };

/// The command line of kestrum-cli, parsed: the sub-command, its positional
/// arguments and every option (options may stand anywhere after the
/// sub-command, as "--name value" or "--name=value").
struct CliArgs {
  QString command;
  QStringList positional;
  bool help = false;
  // common options
  QString adapter;            ///< empty: the first entry of the adapter list
  std::vector<int> bitrates;  ///< --bitrate, repeatable (scan tries each)
  int timeoutMs = 2000;
  bool json = false;
  // scan
  bool full = false;
  int from = 1;
  int to = 127;
  // load
  bool verify = false;
  bool store = false;
  // log
  double seconds = 0;  ///< 0: until interrupted
  QString candump;

  int bitrate() const { return bitrates.empty() ? 1000 : bitrates.front(); }
};

/// Parses argv; on a usage error returns nothing and sets `error`.
std::optional<CliArgs> parseCliArgs(const QStringList& arguments, QString& error);

/// The overview (no sub-command) or the help of one sub-command; empty for
/// an unknown one.
QString cliHelp(const QString& command);

/// The sub-commands, in the order the overview lists them.
const QStringList& cliCommands();
