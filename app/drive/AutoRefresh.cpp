#include "AutoRefresh.h"

#include <QCheckBox>
#include <QTimer>

#include "Logging.h"
#include "StringGridSDODataSource.h"

namespace auto_refresh {

std::vector<QCheckBox*> boxes(QWidget* window) {
  static constexpr const char* kNames[] = {"chkDigiInAutoRefresh", "chkDigiOutAutoRefresh", "chkAnalogIORefreshValue",
                                           "chkPollCurrentSpeed"};
  std::vector<QCheckBox*> found;
  if (!window) return found;
  for (const char* name : kNames)
    if (auto* box = window->findChild<QCheckBox*>(QLatin1String(name))) found.push_back(box);
  return found;
}

void endTick(QTimer* timer, QWidget* window, bool failed) {
  if (!timer) return;
  const std::vector<QCheckBox*> all = boxes(window);
  bool needed = false;
  for (QCheckBox* box : all) needed = needed || box->isChecked();
  if (!needed) timer->stop();
  if (!failed && StringGridSDODataSource::getSdoFailureCount() <= kFailureLimit) return;
  StringGridSDODataSource::resetSdoFailureCount();
  for (QCheckBox* box : all) box->setChecked(false);
  timer->stop();
  Logging::instance().log(QStringLiteral("Connection Problems detected, IO/Velocity Mode Auto Refresh disabled!"));
}

}  // namespace auto_refresh
