#include "InputFilters.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace {

// Copy, backspace, paste and cut as typed characters.
bool isEditControl(QChar c) {
  const ushort u = c.unicode();
  return u == 3 || u == 8 || u == 22 || u == 24;
}

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

bool isBackspace(const QKeyEvent* key) {
  return key->key() == Qt::Key_Backspace || key->text() == QLatin1String("\b");
}

}  // namespace

KeyFilter* KeyFilter::install(QLineEdit* edit, Kind kind) {
  auto* filter = new KeyFilter(kind, edit);
  edit->installEventFilter(filter);
  return filter;
}

bool KeyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* edit = qobject_cast<QLineEdit*>(watched);
  auto* key = static_cast<QKeyEvent*>(event);
  if (!edit) return false;

  if (kind_ == Signed && isBackspace(key) && edit->text().size() == 1) {
    // The last character goes: the field shows 0 instead of nothing.
    edit->setText(QStringLiteral("0"));
    edit->selectAll();
    return true;
  }
  if (isBackspace(key)) return false;
  const QString text = key->text();
  if (text.isEmpty()) return false;  // navigation and editing keys
  if (key->modifiers() & Qt::ControlModifier) return false;  // shortcuts such as copy and paste
  const QChar c = text.at(0);
  if (text.size() == 1 && isEditControl(c)) return false;
  if (text.size() != 1) return true;

  switch (kind_) {
    case Unsigned:
      return !isDigit(c);
    case Signed:
      if (c == QLatin1Char('-'))
        return edit->cursorPosition() != 0 || edit->text().contains(QLatin1Char('-'));
      return !isDigit(c);
    case Hex:
      if (isDigit(c) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'))) return false;
      if (c >= QLatin1Char('a') && c <= QLatin1Char('f')) {
        edit->insert(QString(c.toUpper()));
        return true;
      }
      return true;
    case CobId:
      return !(isDigit(c) || c == QLatin1Char('x'));
  }
  return true;
}
