#pragma once
#include <QObject>

class QLineEdit;

/// Keystroke filter of a number field: sees each typed character and drops
/// those the field does not take. Navigation and editing keys without text
/// (arrows, Delete, Home, Tab) always pass; so do copy, paste and cut.
///  - Unsigned: digits.
///  - Signed: digits and one "-" at the start; deleting the last character
///    leaves "0" (selected), so the field never becomes empty.
///  - Hex: hexadecimal digits, lower-case ones entered in upper case.
///  - CobId: digits and "x".
class KeyFilter : public QObject {
  Q_OBJECT
 public:
  enum Kind { Unsigned, Signed, Hex, CobId };

  /// Installs a filter of `kind` on `edit` (owned by the edit).
  static KeyFilter* install(QLineEdit* edit, Kind kind);

  KeyFilter(Kind kind, QObject* parent) : QObject(parent), kind_(kind) {}
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  Kind kind_;
};
