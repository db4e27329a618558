#pragma once
// The main window shown offscreen and connected to the simulated node, as
// the window benchmarks start from.

#include <QColor>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchReport.h"

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

/// How late a 10 ms timer fires while the window works: the lateness of the
/// event loop the user would feel.
class LatenessProbe {
 public:
  LatenessProbe() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kPeriodMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const auto now = std::chrono::steady_clock::now();
      lateMs_.push_back(std::max(0.0, std::chrono::duration<double, std::milli>(now - last_).count() - kPeriodMs));
      last_ = now;
    });
  }
  void start() {
    last_ = std::chrono::steady_clock::now();
    timer_.start();
  }
  void stop() { timer_.stop(); }
  /// `PREFIX_ui_timer_lateness_p50`, `_p99` and `_max`, in ms.
  void report(const std::string& prefix) const {
    metric((prefix + "_ui_timer_lateness_p50").c_str(), percentile(lateMs_, 0.5), "ms");
    metric((prefix + "_ui_timer_lateness_p99").c_str(), percentile(lateMs_, 0.99), "ms");
    metric((prefix + "_ui_timer_lateness_max").c_str(), lateMs_.empty() ? 0 : *std::max_element(lateMs_.begin(), lateMs_.end()),
           "ms");
  }

 private:
  static constexpr int kPeriodMs = 10;
  QTimer timer_;
  std::chrono::steady_clock::time_point last_;
  std::vector<double> lateMs_;
};

}  // namespace kestrum::bench
