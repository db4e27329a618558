#include "TfrmBrakeInfo.h"

TfrmBrakeInfo::TfrmBrakeInfo(QWidget* parent) : QDialog(parent) {}
