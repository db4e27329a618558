#pragma once
// Pieces every test of the application shares: the one application object a
// process may have, created offscreen on first use, waiting with the event
// loop running, and readable QString values in assertion messages.

#include <QApplication>
#include <QString>
#include <QStringList>

#include <chrono>
#include <ostream>

#include "Wait.h"

namespace kestrum::test {

/// The process's application object. It is never destroyed: Qt objects that
/// tests leave in static storage outlive main(). A process uses one type only.
template <typename App = QApplication>
App& application() {
  static int argc = 1;
  static char name[] = "kestrum-test";
  static char* argv[] = {name, nullptr};
  static App* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new App(argc, argv);
  }();
  return *app;
}

/// Waits (Wait.h) with the event loop running, for what the window's timers,
/// queued signals and the connector's notifications bring about.
template <typename Condition>
[[nodiscard]] bool processUntil(Condition done, std::chrono::milliseconds limit = kWaitLimit) {
  return waitUntil(done, limit, [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20); });
}

}  // namespace kestrum::test

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QStringList& list, std::ostream* os) {
  *os << '{';
  for (int i = 0; i < list.size(); ++i) *os << (i ? ", " : "") << '"' << list[i].toStdString() << '"';
  *os << '}';
}
