#pragma once
// Helpers of the drive-mode pages that start motion: strict conversion of the
// parameter fields before anything goes to the drive, and the buttons that
// stay disabled while a start sequence runs.
#include <QLineEdit>
#include <QPointer>
#include <QWidget>

#include <initializer_list>
#include <optional>
#include <vector>

#include "DriveControl.h"

namespace drive_fields {

/// The value range of the object a field is written to.
struct Range {
  qint64 min;
  qint64 max;
};

constexpr Range kS16{-32768, 32767};
constexpr Range kS32{-2147483648LL, 2147483647LL};
constexpr Range kU16{0, 65535};
constexpr Range kU32{0, 4294967295LL};
/// Ramps and denominators: zero would be a division by zero in the drive.
constexpr Range kU16NonZero{1, 65535};
constexpr Range kU32NonZero{1, 4294967295LL};

/// The number in `edit`, or nullopt after one log line naming the field
/// (`name`) when the text is not a number or lies outside `range`.
inline std::optional<qint64> number(DriveControl& control, const QLineEdit* edit, const QString& name, Range range) {
  const QString text = edit->text();
  const auto value = DriveControl::fieldNumber(text);
  if (!value) {
    control.log(QStringLiteral("%1: '%2' is not a number").arg(name, text));
    return std::nullopt;
  }
  if (*value < range.min || *value > range.max) {
    control.log(
        QStringLiteral("%1: %2 is out of range (%3 to %4)").arg(name).arg(*value).arg(range.min).arg(range.max));
    return std::nullopt;
  }
  return value;
}

/// Disables the given controls for the life of a start sequence and enables
/// them again on every way out (the widgets may be gone when the window
/// closed meanwhile).
class ControlsOff {
 public:
  explicit ControlsOff(std::initializer_list<QWidget*> widgets) {
    for (QWidget* w : widgets) {
      if (!w) continue;
      w->setEnabled(false);
      widgets_.emplace_back(w);
    }
  }
  ~ControlsOff() {
    for (const QPointer<QWidget>& w : widgets_)
      if (w) w->setEnabled(true);
  }
  ControlsOff(const ControlsOff&) = delete;
  ControlsOff& operator=(const ControlsOff&) = delete;

 private:
  std::vector<QPointer<QWidget>> widgets_;
};

}  // namespace drive_fields
