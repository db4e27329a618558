#include "KestrumApplication.h"

#include <sched.h>

#include <QProxyStyle>

#include <exception>

#include "MessageBoxService.h"

namespace {

/// The system's style with quicker tool tips: they show after 100 ms.
class ToolTipStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == QStyle::SH_ToolTip_WakeUpDelay) return 100;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

}  // namespace

KestrumApplication::KestrumApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Kestrum"));
  setApplicationDisplayName(QStringLiteral("Kestrum"));
  setStyle(new ToolTipStyle);
}

void KestrumApplication::showException(const QString& message) {
  showMessageBox(QStringLiteral("Kestrum"), message, QMessageBox::Critical);
}

bool KestrumApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    showException(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    showException(QStringLiteral("Unknown exception"));
  }
  return false;
}

void KestrumApplication::restrictToFirstProcessor() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof(mask), &mask) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &mask)) continue;
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(cpu, &first);
    sched_setaffinity(0, sizeof(first), &first);
    return;
  }
}
