#include "VendorApi.h"

#include <dlfcn.h>

#include "ErrorFile.h"
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

// A library without a function this one calls unguarded would crash on the
// first call: it is refused as a whole, as if it were not installed, and the
// error file says what it lacks.
void refuse(const char* fileName, const std::vector<std::string>& lacking) {
  std::string line = std::string(fileName) + " not used: it lacks the function";
  if (lacking.size() > 1) line += "s";
  for (std::size_t i = 0; i < lacking.size(); ++i) line += (i ? ", " : " ") + lacking[i];
  debugLog("%s", line.c_str());
  logErrorLine(line);
}

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
  auto lacking = bindFunctions(library, table, std::size(table));
  if (!lacking.empty()) {
    refuse(kPeakLibraryFile, lacking);
    appendMissing(missing, std::move(lacking));
    unload();
    return false;
  }
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
  if (auto lacking = bindFunctions(library, general, std::size(general)); !lacking.empty()) {
    refuse(kIxxatLibraryFile, lacking);
    appendMissing(missing, std::move(lacking));
    unload();
    return false;
  }
  UINT32 major = 0, minor = 0;
  if (vciInitialize() != VCI_OK ||
      vciGetVersion(&major, &minor) != VCI_OK || major != 3) {
    debugLog("%s unusable (interface version %u)", kIxxatLibraryFile, major);
    unload();
    return false;
  }
  const Binding table[] = {
      bind("vciGuidToChar", vciGuidToChar),
      bind("vciEnumDeviceOpen", vciEnumDeviceOpen),
      bind("vciEnumDeviceClose", vciEnumDeviceClose),
      bind("vciEnumDeviceNext", vciEnumDeviceNext),
      bind("vciDeviceOpen", vciDeviceOpen),
      bind("vciDeviceClose", vciDeviceClose),
      bind("vciDeviceGetInfo", vciDeviceGetInfo),
      bind("canControlOpen", canControlOpen),
      bind("canControlClose", canControlClose),
      bind("canControlInitialize", canControlInitialize),
      bind("canControlStart", canControlStart),
      bind("canControlSetAccFilter", canControlSetAccFilter),
      bind("canChannelOpen", canChannelOpen),
      bind("canChannelClose", canChannelClose),
      bind("canChannelInitialize", canChannelInitialize),
      bind("canChannelActivate", canChannelActivate),
      bind("canChannelReadMessage", canChannelReadMessage),
      bind("canChannelSendMessage", canChannelSendMessage),
  };
  if (auto lacking = bindFunctions(library, table, std::size(table)); !lacking.empty()) {
    refuse(kIxxatLibraryFile, lacking);
    appendMissing(missing, std::move(lacking));
    unload();
    return false;
  }
  // Checked before each call, or never called: the library works without them.
  const Binding optional[] = {
      bind("vciFormatError", vciFormatError),
      bind("vciEnumDeviceReset", vciEnumDeviceReset),
      bind("vciEnumDeviceWaitEvent", vciEnumDeviceWaitEvent),
      bind("vciDeviceGetCaps", vciDeviceGetCaps),
      bind("canControlReset", canControlReset),
  };
  appendMissing(missing, bindFunctions(library, optional, std::size(optional)));
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
