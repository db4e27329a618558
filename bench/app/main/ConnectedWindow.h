#pragma once
// The main window shown offscreen and connected to the simulated node, as
// the window benchmarks start from.

#include <QColor>
#include <QString>

#include <chrono>
#include <cstdio>

#include "Logging.h"
#include "SimulatedSetup.h"
#include "TMainForm.h"

namespace kestrum::bench {

/// Shows `form` at 1280x800 and waits until its automatic connection has
/// identified the node and the window is idle; false, with a message, when
/// the connection does not come.
inline bool showConnected(TMainForm& form) {
  bool connected = false;
  const auto link = QObject::connect(&Logging::instance(), &Logging::lineWritten,
                                     [&connected](const QString& line, const QColor&, bool) {
                                       if (line.endsWith(QLatin1String(") Connected"))) connected = true;
                                     });
  form.resize(1280, 800);
  form.show();
  const bool ok = processUntil([&] { return connected; }, std::chrono::seconds(20));
  QObject::disconnect(link);
  if (!ok) {
    std::fprintf(stderr, "the window did not connect\n");
    return false;
  }
  processUntil([&] { return !form.isInUse(); }, std::chrono::seconds(5));
  return true;
}

}  // namespace kestrum::bench
