#pragma once
#include <QApplication>

/// The application object. An exception that escapes an event handler is
/// shown in the standard error box (through the message box service) and the
/// event loop carries on, so the window stays usable; Qt alone would end the
/// process.
class KestrumApplication : public QApplication {
 public:
  KestrumApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  /// The text of the error box for an exception (its message).
  static void showException(const QString& message);
};
