#pragma once
// A handler that reports its exceptions itself: an exception must not unwind
// through the toolkit's event delivery, which is not built for it (the
// application object still catches whatever else gets there).
#include <QString>

#include <exception>

#include "MessageBoxService.h"

template <typename Handler>
auto guarded(Handler handler) {
  return [handler](auto&&...) {
    try {
      handler();
    } catch (const std::exception& e) {
      showMessageBox(QStringLiteral("Kestrum"), QString::fromLocal8Bit(e.what()), QMessageBox::Critical);
    } catch (...) {
      showMessageBox(QStringLiteral("Kestrum"), QStringLiteral("Unknown exception"), QMessageBox::Critical);
    }
  };
}
