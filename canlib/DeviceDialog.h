#pragma once
// The seam between the adapter layer and its device dialog. The dialog needs
// Qt, which the rest of the library does without: the GUI corner (qt/)
// installs it when the library is loaded; without it the interactive choice
// counts as cancelled and the adapter layer takes the automatic one.

#include "VendorApi.h"

namespace varnex {

/// Bus kinds the dialog offers lines of.
inline constexpr int kBusKindCan = VCI_BUS_CAN;
inline constexpr int kBusKindLin = VCI_BUS_LIN;

/// Shows the device dialog for lines of `kind` and returns the vendor status:
/// VCI_OK with the device opened for the caller and its line (the controller
/// number on that device); VCI_E_INVALIDARG for a missing output or an unknown
/// kind; VCI_E_ABORT when cancelled (or no dialog can be shown); VCI_E_FAIL
/// when the dialog ended without a device or line.
using DeviceDialog = long (*)(void* owner, int kind, const VciApi& vci, HANDLE* device, UINT32* line);

void setDeviceDialog(DeviceDialog dialog);
/// Runs the installed dialog; VCI_E_ABORT when there is none.
long runDeviceDialog(void* owner, int kind, const VciApi& vci, HANDLE* device, UINT32* line);

}  // namespace varnex
