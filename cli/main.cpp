// kestrum-cli: the command-line twin of Kestrum (see Cli.h).

#include <QCoreApplication>

#include <cstdio>

#include "Cli.h"
#include "CliArgs.h"

int main(int argc, char** argv) {
  // A Core application: no window can open, and boxes of the shared code
  // (the library binding's) become lines on standard error.
  QCoreApplication app(argc, argv);
  QString error;
  const std::optional<CliArgs> args = parseCliArgs(QCoreApplication::arguments(), error);
  if (!args) {
    std::fprintf(stderr, "kestrum-cli: %s\n(see kestrum-cli --help)\n", qPrintable(error));
    return kExitUsage;
  }
  Cli cli(*args);
  return cli.run();
}
