#pragma once
// Reaching the adapter stand-ins of the application folder as Varnex does:
// loaded by file name, functions bound by name.
#include <dlfcn.h>

#include "vcinpl.h"

namespace bench {

template <class Fn>
Fn bind(void* lib, const char* name) {
  return reinterpret_cast<Fn>(::dlsym(lib, name));
}

/// The handles of one opened IXXAT CAN line.
struct VciLine {
  HANDLE device = nullptr;
  HANDLE control = nullptr;
  HANDLE channel = nullptr;  ///< null when the line could not be opened
};

/// Opens the first IXXAT device's CAN line at 1 Mbit/s with a started
/// controller, as Varnex's initialisation does.
inline VciLine openVciLine(void* vci) {
  HANDLE e = nullptr, device = nullptr, channel = nullptr, control = nullptr;
  VCIDEVICEINFO info;
  bind<PF_vciEnumDeviceOpen>(vci, "vciEnumDeviceOpen")(&e);
  if (bind<PF_vciEnumDeviceNext>(vci, "vciEnumDeviceNext")(e, &info) != VCI_OK) return {};
  bind<PF_vciEnumDeviceClose>(vci, "vciEnumDeviceClose")(e);
  bind<PF_vciDeviceOpen>(vci, "vciDeviceOpen")(info.VciObjectId, &device);
  bind<PF_canChannelOpen>(vci, "canChannelOpen")(device, 0, FALSE, &channel);
  bind<PF_canChannelInitialize>(vci, "canChannelInitialize")(channel, 1024, 1, 128, 1);
  bind<PF_canChannelActivate>(vci, "canChannelActivate")(channel, TRUE);
  bind<PF_canControlOpen>(vci, "canControlOpen")(device, 0, &control);
  bind<PF_canControlInitialize>(vci, "canControlInitialize")(control, CAN_OPMODE_STANDARD, CAN_BT0_1000KB,
                                                             CAN_BT1_1000KB);
  if (bind<PF_canControlStart>(vci, "canControlStart")(control, TRUE) != VCI_OK) return {device, control, nullptr};
  return {device, control, channel};
}

}  // namespace bench
