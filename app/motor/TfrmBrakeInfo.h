#pragma once
#include <QDialog>

/// The window "Brake Configuration": what the brake times ta, tb and tc mean.
class TfrmBrakeInfo : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmBrakeInfo(QWidget* parent = nullptr);
};
