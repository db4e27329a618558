#pragma once
#include <QColor>
#include <QObject>
#include <QPointer>
#include <QString>

#include "ConnectorFrame.h"

class QTextEdit;
class QPlainTextEdit;

/// The application log: one process-wide writer into the main window's
/// read-only log pane. Each line reads "(HH:MM:SS) text"; ordinary lines are
/// black, emergency lines red. While no pane is attached lines are dropped
/// from the window, but every line is still announced by lineWritten() so
/// tests (and a later file log) can see it.
///
/// Calls from other threads are handed to the thread that owns the log (the
/// user-interface thread) and written there, in order.
class Logging : public QObject {
  Q_OBJECT
 public:
  static Logging& instance();

  /// Attaches the pane that shows the lines (not owned; a destroyed pane
  /// detaches itself). Attaching another pane replaces the previous one.
  void attach(QTextEdit* pane);
  void attach(QPlainTextEdit* pane);
  void detach();
  bool isAttached() const;

  /// A black line.
  void log(const QString& text);
  /// A line in any colour.
  void log(const QString& text, const QColor& color);
  /// A red line for an emergency message; the frame is announced with
  /// emergencyFrame() so the CAN log can show it marked as an emergency.
  void emergency(const QString& text, const ConnectorFrame& frame);

 signals:
  /// Every line, as written ("(HH:MM:SS) text"); `shown` is false when no
  /// pane was attached.
  void lineWritten(const QString& line, const QColor& color, bool shown);
  void emergencyFrame(const ConnectorFrame& frame);

 private:
  Logging() = default;
  void write(const QString& text, const QColor& color);

  QPointer<QTextEdit> richPane_;
  QPointer<QPlainTextEdit> plainPane_;
};
