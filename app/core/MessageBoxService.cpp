#include "MessageBoxService.h"

#include <QApplication>

#include <atomic>
#include <cstdio>

namespace {

const char* iconName(QMessageBox::Icon icon) {
  switch (icon) {
    case QMessageBox::Information: return "information";
    case QMessageBox::Warning: return "warning";
    case QMessageBox::Critical: return "error";
    case QMessageBox::Question: return "question";
    default: return "none";
  }
}

/// The answer a box gets when nobody can click it.
QMessageBox::StandardButton unattendedAnswer(QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton defaultButton) {
  if (defaultButton != QMessageBox::NoButton) return defaultButton;
  for (unsigned bit = QMessageBox::FirstButton; bit <= QMessageBox::LastButton; bit <<= 1)
    if (buttons.testFlag(QMessageBox::StandardButton(bit))) return QMessageBox::StandardButton(bit);
  return QMessageBox::Ok;
}

class DefaultMessageBoxService : public MessageBoxService {
 public:
  QMessageBox::StandardButton show(const QString& caption, const QString& text,
                                   QMessageBox::Icon icon, QMessageBox::StandardButtons buttons,
                                   QMessageBox::StandardButton defaultButton) override {
    // A QMessageBox needs a widget application; a console process must not
    // block or abort on a box, so it gets the text on stderr instead.
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
      std::fprintf(stderr, "[%s] %s: %s\n", iconName(icon), qPrintable(caption), qPrintable(text));
      return unattendedAnswer(buttons, defaultButton);
    }
    QMessageBox box(icon, caption, text, buttons, QApplication::activeWindow());
    if (defaultButton != QMessageBox::NoButton) box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(box.exec());
  }
};

DefaultMessageBoxService defaultService;
std::atomic<MessageBoxService*> installed{nullptr};

}  // namespace

MessageBoxService& MessageBoxService::instance() {
  MessageBoxService* s = installed.load();
  return s ? *s : defaultService;
}

MessageBoxService* MessageBoxService::install(MessageBoxService* service) {
  return installed.exchange(service);
}

QMessageBox::StandardButton showMessageBox(const QString& caption, const QString& text,
                                           QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton) {
  return MessageBoxService::instance().show(caption, text, icon, buttons, defaultButton);
}

RecordingMessageBoxService::RecordingMessageBoxService() : previous_(install(this)) {}

RecordingMessageBoxService::~RecordingMessageBoxService() { install(previous_); }

QMessageBox::StandardButton RecordingMessageBoxService::show(
    const QString& caption, const QString& text, QMessageBox::Icon icon,
    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
  boxes_.push_back({caption, text, icon, buttons});
  if (answers_.empty()) return unattendedAnswer(buttons, defaultButton);
  QMessageBox::StandardButton answer = answers_.front();
  answers_.pop_front();
  return answer;
}
