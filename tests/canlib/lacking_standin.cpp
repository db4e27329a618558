// A vendor library for the tests that has every function of its family the
// library binds but one (LACKS_<name>): loading it must fail like a missing
// library instead of crashing on the first call. Built once per family.
#include <cstring>

#if defined(PEAK_FAMILY)
#include "PCANBasic.h"

extern "C" {
// One channel, USB 1, that opens and never receives anything.
TPCANStatus CAN_Initialize(TPCANHandle channel, TPCANBaudrate, TPCANType, DWORD, WORD) {
  return channel == 0x51 ? PCAN_ERROR_OK : PCAN_ERROR_ILLHW;
}
TPCANStatus CAN_Uninitialize(TPCANHandle) { return PCAN_ERROR_OK; }
TPCANStatus CAN_Read(TPCANHandle, TPCANMsg*, TPCANTimestamp*) { return PCAN_ERROR_QRCVEMPTY; }
#ifndef LACKS_CAN_Write
TPCANStatus CAN_Write(TPCANHandle, TPCANMsg*) { return PCAN_ERROR_OK; }
#endif
}

#else
#include "vcinpl.h"

extern "C" {
// Interface version 3 with one enumerable device and nothing that opens.
HRESULT vciInitialize(void) { return VCI_OK; }
HRESULT vciGetVersion(PUINT32 major, PUINT32 minor) {
  *major = 3;
  *minor = 0;
  return VCI_OK;
}
void vciFormatError(HRESULT, PCHAR text, UINT32 size) {
  if (size) std::strncpy(text, "stand-in", size - 1);
}
HRESULT vciGuidToChar(REFGUID, PCHAR text, UINT32 size) {
  if (size) std::strncpy(text, "HW000001", size - 1);
  return VCI_OK;
}
static int enumerated = 0;
HRESULT vciEnumDeviceOpen(PHANDLE handle) {
  enumerated = 0;
  *handle = &enumerated;
  return VCI_OK;
}
HRESULT vciEnumDeviceClose(HANDLE) { return VCI_OK; }
#ifndef LACKS_vciEnumDeviceNext
HRESULT vciEnumDeviceNext(HANDLE, PVCIDEVICEINFO info) {
  if (enumerated++ > 0) return VCI_E_NO_MORE_ITEMS;
  std::memset(info, 0, sizeof *info);
  return VCI_OK;
}
#endif
HRESULT vciEnumDeviceReset(HANDLE) { return VCI_OK; }
HRESULT vciEnumDeviceWaitEvent(HANDLE, UINT32) { return VCI_E_TIMEOUT; }
HRESULT vciDeviceOpen(REFVCIID, PHANDLE) { return VCI_E_FAIL; }
HRESULT vciDeviceClose(HANDLE) { return VCI_OK; }
HRESULT vciDeviceGetInfo(HANDLE, PVCIDEVICEINFO) { return VCI_E_FAIL; }
HRESULT vciDeviceGetCaps(HANDLE, PVCIDEVICECAPS) { return VCI_E_FAIL; }
HRESULT canControlOpen(HANDLE, UINT32, PHANDLE) { return VCI_E_FAIL; }
HRESULT canControlClose(HANDLE) { return VCI_OK; }
HRESULT canControlInitialize(HANDLE, UINT8, UINT8, UINT8) { return VCI_E_FAIL; }
HRESULT canControlReset(HANDLE) { return VCI_E_FAIL; }
HRESULT canControlStart(HANDLE, BOOL) { return VCI_E_FAIL; }
HRESULT canControlSetAccFilter(HANDLE, BOOL, UINT32, UINT32) { return VCI_E_FAIL; }
HRESULT canChannelOpen(HANDLE, UINT32, BOOL, PHANDLE) { return VCI_E_FAIL; }
HRESULT canChannelClose(HANDLE) { return VCI_OK; }
HRESULT canChannelInitialize(HANDLE, UINT16, UINT16, UINT16, UINT16) { return VCI_E_FAIL; }
HRESULT canChannelActivate(HANDLE, BOOL) { return VCI_E_FAIL; }
HRESULT canChannelReadMessage(HANDLE, UINT32, PCANMSG) { return VCI_E_TIMEOUT; }
HRESULT canChannelSendMessage(HANDLE, UINT32, PCANMSG) { return VCI_E_FAIL; }
}
#endif
