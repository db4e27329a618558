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

  /// Restricts the calling thread, and every thread it starts later, to the
  /// first processor of its affinity mask. The process does this at start:
  /// the CAN library's timing assumes its threads and the user interface
  /// never run truly in parallel, and hand-offs between them stay cheap.
  static void restrictToFirstProcessor();

  /// Makes the working folder the one list files, PDO configurations and logs
  /// go to. Started from a build tree nothing changes (the caller's folder, as
  /// `./dev.sh run` sets it). Installed, it is the user's data folder
  /// (defaultUserDataFolder()), brought up to date from <prefix>/share/kestrum
  /// first; if that folder cannot be used, the shipped folder itself (read
  /// only). Returns the message for the user when something failed, else empty.
  static QString enterWorkingFolder();
};
