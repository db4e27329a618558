#include "VendorApi.h"

#include <dlfcn.h>

#include "VendorLibrary.h"

namespace varnex {

namespace {

template <typename Fn>
Binding bind(const char* name, Fn& slot) {
  return Binding{name, reinterpret_cast<void**>(&slot)};
}

void appendMissing(std::vector<std::string>* out, std::vector<std::string>&& missing) {
  if (out) out->insert(out->end(), missing.begin(), missing.end());
}

// Names of the VCI 3 C functions nothing here calls (see VciApi::unused).
constexpr const char* kUnusedVciFunctions[] = {
    "vciEventCreate", "vciEventDelete", "vciEventSignal", "vciEventReset", "vciEventWaitFor",
    "vciFindDeviceByHwid", "vciFindDeviceByClass", "vciSelectDeviceDlg",
    "vciLuidToChar", "vciCharToLuid", "vciCharToGuid",
    "vciDeviceOpenDlg",
    "canControlGetCaps", "canControlGetStatus", "canControlAddFilterIds", "canControlRemFilterIds",
    "canChannelGetCaps", "canChannelGetStatus", "canChannelGetControl",
    "canChannelPeekMessage", "canChannelPostMessage", "canChannelWaitRxEvent", "canChannelWaitTxEvent",
    "canSchedulerOpen", "canSchedulerClose", "canSchedulerGetCaps", "canSchedulerGetStatus",
    "canSchedulerActivate", "canSchedulerReset", "canSchedulerAddMessage", "canSchedulerRemMessage",
    "canSchedulerStartMessage", "canSchedulerStopMessage",
};
static_assert(std::size(kUnusedVciFunctions) == VciApi::kUnusedCount);

}  // namespace

bool PeakApi::load(std::vector<std::string>* missing) {
  library = openVendorLibrary(kPeakLibraryFile);
  if (!library) return false;
  const Binding table[] = {
      bind("CAN_Initialize", CAN_Initialize),
      bind("CAN_Uninitialize", CAN_Uninitialize),
      bind("CAN_Read", CAN_Read),
      bind("CAN_Write", CAN_Write),
  };
  appendMissing(missing, bindFunctions(library, table, std::size(table)));
  const Binding optional[] = {bind("CAN_GetValue", CAN_GetValue)};
  bindFunctions(library, optional, std::size(optional));
  return true;
}

void PeakApi::unload() {
  if (library) dlclose(library);
  *this = PeakApi{};
}

std::vector<TPCANHandle> PeakApi::probeChannels(TPCANBaudrate code) const {
  std::vector<TPCANHandle> found;
  if (!CAN_Initialize || !CAN_Uninitialize) return found;
  for (TPCANHandle channel : kPeakChannels) {
    if (CAN_Initialize(channel, code, 0, 0, 0) == PCAN_ERROR_OK) {
      CAN_Uninitialize(channel);
      found.push_back(channel);
    }
  }
  return found;
}

bool VciApi::load(std::vector<std::string>* missing) {
  library = openVendorLibrary(kIxxatLibraryFile);
  if (!library) return false;
  const Binding general[] = {
      bind("vciInitialize", vciInitialize),
      bind("vciGetVersion", vciGetVersion),
  };
  bindFunctions(library, general, std::size(general));
  UINT32 major = 0, minor = 0;
  if (!vciInitialize || !vciGetVersion || vciInitialize() != VCI_OK ||
      vciGetVersion(&major, &minor) != VCI_OK || major != 3) {
    debugLog("%s unusable (interface version %u)", kIxxatLibraryFile, major);
    unload();
    return false;
  }
  const Binding table[] = {
      bind("vciFormatError", vciFormatError),
      bind("vciGuidToChar", vciGuidToChar),
      bind("vciEnumDeviceOpen", vciEnumDeviceOpen),
      bind("vciEnumDeviceClose", vciEnumDeviceClose),
      bind("vciEnumDeviceNext", vciEnumDeviceNext),
      bind("vciEnumDeviceReset", vciEnumDeviceReset),
      bind("vciEnumDeviceWaitEvent", vciEnumDeviceWaitEvent),
      bind("vciDeviceOpen", vciDeviceOpen),
      bind("vciDeviceClose", vciDeviceClose),
      bind("vciDeviceGetInfo", vciDeviceGetInfo),
      bind("vciDeviceGetCaps", vciDeviceGetCaps),
      bind("canControlOpen", canControlOpen),
      bind("canControlClose", canControlClose),
      bind("canControlInitialize", canControlInitialize),
      bind("canControlReset", canControlReset),
      bind("canControlStart", canControlStart),
      bind("canControlSetAccFilter", canControlSetAccFilter),
      bind("canChannelOpen", canChannelOpen),
      bind("canChannelClose", canChannelClose),
      bind("canChannelInitialize", canChannelInitialize),
      bind("canChannelActivate", canChannelActivate),
      bind("canChannelReadMessage", canChannelReadMessage),
      bind("canChannelSendMessage", canChannelSendMessage),
  };
  appendMissing(missing, bindFunctions(library, table, std::size(table)));
  // The unused group is only looked up; what it lacks is shown by debugLog.
  Binding rest[kUnusedCount];
  for (std::size_t i = 0; i < kUnusedCount; ++i) rest[i] = Binding{kUnusedVciFunctions[i], &unused[i]};
  bindFunctions(library, rest, kUnusedCount);
  return true;
}

void VciApi::unload() {
  if (library) dlclose(library);
  *this = VciApi{};
}

}  // namespace varnex
