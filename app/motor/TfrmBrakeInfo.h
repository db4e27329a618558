#pragma once
#include <QDialog>

/// The window "Brake Configuration": what the brake times ta, tb and tc mean,
/// with a timing picture of power, brake and drive commands. Shown without
/// blocking the main window; "Close" closes it.
class TfrmBrakeInfo : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmBrakeInfo(QWidget* parent = nullptr);
  /// The explanation shown beside the picture.
  static const QString kText;
};
