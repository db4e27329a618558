#pragma once
#include <QMessageBox>
#include <QString>

#include <deque>
#include <vector>

/// The one way the application shows a modal message box. Every box goes
/// through the installed service, so tests can read and answer each of them
/// instead of blocking on a window.
///
/// The default service shows a QMessageBox when a QApplication exists; in a
/// process without widgets (QCoreApplication or none) it writes the box to
/// standard error and answers with the default button (or the first button).
class MessageBoxService {
 public:
  virtual ~MessageBoxService() = default;

  /// Shows one box and returns the button the user chose.
  virtual QMessageBox::StandardButton show(const QString& caption, const QString& text,
                                           QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton) = 0;

  /// The installed service (the default one until another is installed).
  static MessageBoxService& instance();
  /// Installs `service` (not owned); null restores the default. Returns the
  /// previously installed one (null if that was the default).
  static MessageBoxService* install(MessageBoxService* service);
};

/// Shows a box through the installed service.
QMessageBox::StandardButton showMessageBox(
    const QString& caption, const QString& text, QMessageBox::Icon icon = QMessageBox::NoIcon,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

/// A service for tests: records every box and answers from a queue of
/// prepared answers; without one it answers like the default service does
/// without widgets (default button, else the first button). Installs itself
/// for its lifetime and restores the previous service afterwards.
class RecordingMessageBoxService : public MessageBoxService {
 public:
  struct Box {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
  };

  RecordingMessageBoxService();
  ~RecordingMessageBoxService() override;

  QMessageBox::StandardButton show(const QString& caption, const QString& text,
                                   QMessageBox::Icon icon, QMessageBox::StandardButtons buttons,
                                   QMessageBox::StandardButton defaultButton) override;

  /// Answer for the next box that has not been answered yet.
  void answerNext(QMessageBox::StandardButton button) { answers_.push_back(button); }
  const std::vector<Box>& boxes() const { return boxes_; }
  void clear() { boxes_.clear(); }

 private:
  std::vector<Box> boxes_;
  std::deque<QMessageBox::StandardButton> answers_;
  MessageBoxService* previous_;
};
