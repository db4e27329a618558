#include "KestrumApplication.h"

#include <sched.h>

#include <QDir>
#include <QFile>
#include <QProxyStyle>

#include <exception>

#include "MessageBoxService.h"
#include "UserDataFolder.h"
#include "layout/InstallLayout.h"

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

QString KestrumApplication::enterWorkingFolder() {
  const auto folders = kestrum::layout::folders();
  if (!folders.installed) return {};
  const QString shipped = QFile::decodeName(folders.data.c_str());
  const QString userFolder = defaultUserDataFolder();
  const UserDataUpdate update = updateUserDataFolder(shipped, userFolder);
  if (update.usable && QDir::setCurrent(userFolder)) {
    if (update.errors.isEmpty()) return {};
    return QStringLiteral("Kestrum could not bring its data folder %1 up to date:\n%2\n"
                          "Your files there were left as they were.")
        .arg(QDir::toNativeSeparators(userFolder), update.errors.join(QLatin1Char('\n')));
  }
  QDir::setCurrent(shipped);
  return QStringLiteral("Kestrum could not use its data folder %1:\n%2\n"
                        "It works from %3 instead, where list files, PDO configurations and logs "
                        "cannot be saved.")
      .arg(QDir::toNativeSeparators(userFolder), update.errors.join(QLatin1Char('\n')),
           QDir::toNativeSeparators(shipped));
}
