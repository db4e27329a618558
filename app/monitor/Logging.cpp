#include "Logging.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>

#include "Util.h"

namespace {

void appendLine(QTextDocument* doc, QScrollBar* bar, const QString& line, const QColor& color) {
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  if (!doc->isEmpty()) cursor.insertBlock();
  QTextCharFormat format;
  format.setForeground(color);
  cursor.insertText(line, format);
  if (bar) bar->setValue(bar->maximum());
}

}  // namespace

Logging& Logging::instance() {
  // Created on first use, which the application does on its user-interface
  // thread before any bus traffic; it lives until the process ends.
  static Logging* log = [] {
    auto* l = new Logging;
    if (QCoreApplication::instance()) l->moveToThread(QCoreApplication::instance()->thread());
    return l;
  }();
  return *log;
}

void Logging::attach(QTextEdit* pane) {
  plainPane_.clear();
  richPane_ = pane;
}

void Logging::attach(QPlainTextEdit* pane) {
  richPane_.clear();
  plainPane_ = pane;
}

void Logging::detach() {
  richPane_.clear();
  plainPane_.clear();
}

bool Logging::isAttached() const { return richPane_ || plainPane_; }

void Logging::log(const QString& text) { log(text, Qt::black); }

void Logging::log(const QString& text, const QColor& color) {
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(this, [this, text, color] { write(text, color); }, Qt::QueuedConnection);
    return;
  }
  write(text, color);
}

void Logging::emergency(const QString& text, const ConnectorFrame& frame) {
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(this, [this, text, frame] { emergency(text, frame); },
                              Qt::QueuedConnection);
    return;
  }
  write(text, Qt::red);
  emit emergencyFrame(frame);
}

void Logging::write(const QString& text, const QColor& color) {
  const QString line = QLatin1Char('(') + Util::TimeOfDayText() + QStringLiteral(") ") + text;
  if (richPane_)
    appendLine(richPane_->document(), richPane_->verticalScrollBar(), line, color);
  else if (plainPane_)
    appendLine(plainPane_->document(), plainPane_->verticalScrollBar(), line, color);
  emit lineWritten(line, color, isAttached());
}
