/*
 * The IXXAT VCI version 3 C interface as this project's libvcinpl.so
 * implements it: the vendor's published names, types, status codes, message
 * types and structure layouts for the subset Kestrum/Varnex use, so that the
 * vendor's own library can take this one's place unchanged.
 *
 * Layout: every structure here is made of naturally aligned members, so the
 * natural layout equals the vendor's byte-packed one: VCIID 8 bytes, GUID 16,
 * VCIDEVICEINFO 304, VCIDEVICECAPS 66, CANMSGINFO 4, CANMSG 20. The
 * implementation checks these sizes at compile time.
 *
 * Reference parameters (REFVCIID, REFGUID) are const references in C++ and
 * const pointers in C, as in the vendor's interface; both pass an address.
 *
 * Status codes: HRESULT values, VCI_OK (0) on success, VCI_E_* (negative as
 * a 32-bit signed number) on failure.
 */
#ifndef KESTRUM_VCINPL_H
#define KESTRUM_VCINPL_H

#include <stdint.h>

/* ---------------------------------------------------------------- types */

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef int32_t INT32;
typedef int64_t INT64;
typedef char CHAR;
typedef char* PCHAR;
typedef UINT32* PUINT32;
typedef int BOOL;
typedef int32_t HRESULT;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFU /* time-out: wait without limit */
#endif

typedef struct _VCI_LUID {
  UINT32 LowPart;
  INT32 HighPart;
} VCI_LUID;

/* VCI object ID: identifies a device for the lifetime of the VCI server. */
typedef union _VCIID {
  VCI_LUID AsLuid;
  INT64 AsInt64;
} VCIID, *PVCIID;

typedef struct _GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} GUID, *PGUID;

#ifdef __cplusplus
#define REFVCIID const VCIID&
#define REFGUID const GUID&
#else
#define REFVCIID const VCIID*
#define REFGUID const GUID*
#endif

/* --------------------------------------------------------- status codes */

#define VCI_OK ((HRESULT)0x00000000)
#define VCI_SUCCESS VCI_OK
#define VCI_E_UNEXPECTED ((HRESULT)0xE0010001U)
#define VCI_E_NOT_IMPLEMENTED ((HRESULT)0xE0010002U)
#define VCI_E_OUTOFMEMORY ((HRESULT)0xE0010003U)
#define VCI_E_INVALIDARG ((HRESULT)0xE0010004U)
#define VCI_E_NOINTERFACE ((HRESULT)0xE0010005U)
#define VCI_E_INVPOINTER ((HRESULT)0xE0010006U)
#define VCI_E_INVHANDLE ((HRESULT)0xE0010007U)
#define VCI_E_ABORT ((HRESULT)0xE0010008U)
#define VCI_E_FAIL ((HRESULT)0xE0010009U)
#define VCI_E_ACCESSDENIED ((HRESULT)0xE001000AU)
#define VCI_E_TIMEOUT ((HRESULT)0xE001000BU)
#define VCI_E_BUSY ((HRESULT)0xE001000CU)
#define VCI_E_PENDING ((HRESULT)0xE001000DU)
#define VCI_E_NO_DATA ((HRESULT)0xE001000EU)
#define VCI_E_NO_MORE_ITEMS ((HRESULT)0xE001000FU)
#define VCI_E_NOT_INITIALIZED ((HRESULT)0xE0010010U)
#define VCI_E_ALREADY_INITIALIZED ((HRESULT)0xE0010011U)
#define VCI_E_RXQUEUE_EMPTY ((HRESULT)0xE0010012U)
#define VCI_E_TXQUEUE_FULL ((HRESULT)0xE0010013U)
#define VCI_E_BUFFER_OVERFLOW ((HRESULT)0xE0010014U)
#define VCI_E_INVALID_STATE ((HRESULT)0xE0010015U)
#define VCI_E_OBJECT_ALREADY_EXISTS ((HRESULT)0xE0010016U)
#define VCI_E_INVALID_INDEX ((HRESULT)0xE0010017U)
#define VCI_E_END_OF_FILE ((HRESULT)0xE0010018U)
#define VCI_E_DISCONNECTED ((HRESULT)0xE0010019U)

#define VCI_MAX_ERRSTRLEN 256 /* buffer size for vciFormatError */

/* ---------------------------------------------------------------- devices */

typedef struct _VCIDEVICEINFO {
  VCIID VciObjectId; /* unique while the VCI server runs */
  GUID DeviceClass;  /* device class (kind of adapter) */
  UINT8 DriverMajorVersion;
  UINT8 DriverMinorVersion;
  UINT16 DriverBuildVersion;
  UINT8 HardwareBranchVersion;
  UINT8 HardwareMajorVersion;
  UINT8 HardwareMinorVersion;
  UINT8 HardwareBuildVersion;
  union _UniqueHardwareId { /* serial number of the adapter */
    CHAR AsChar[16];
    GUID AsGuid;
  } UniqueHardwareId;
  CHAR Description[128];  /* zero-terminated */
  CHAR Manufacturer[126]; /* zero-terminated */
  UINT16 DriverReleaseVersion;
} VCIDEVICEINFO, *PVCIDEVICEINFO;

#define VCI_MAX_BUSCTRL 32

/* Bus controller type word: bus kind in the high byte, controller type in the low byte. */
#define VCI_BUS_RES 0
#define VCI_BUS_CAN 1
#define VCI_BUS_LIN 2
#define VCI_BUS_CTRL(Bus, Ctrl) ((UINT16)((((Bus) & 0xFF) << 8) | ((Ctrl) & 0xFF)))
#define VCI_BUS_TYPE(BusCtrl) ((UINT8)(((BusCtrl) >> 8) & 0xFF))
#define VCI_CTRL_TYPE(BusCtrl) ((UINT8)((BusCtrl) & 0xFF))

typedef struct _VCIDEVICECAPS {
  UINT16 BusCtrlCount;                  /* number of bus controllers (lines) */
  UINT16 BusCtrlTypes[VCI_MAX_BUSCTRL]; /* VCI_BUS_CTRL words, one per line */
} VCIDEVICECAPS, *PVCIDEVICECAPS;

/* ------------------------------------------------------------ CAN messages */

#define CAN_MSGTYPE_DATA 0    /* data frame */
#define CAN_MSGTYPE_INFO 1    /* controller started/stopped/reset (abData[0] = CAN_INFO_*) */
#define CAN_MSGTYPE_ERROR 2   /* bus error (abData[0] = CAN_ERROR_*, abData[1] = CAN_STATUS_*) */
#define CAN_MSGTYPE_STATUS 3  /* controller status changed (abData[0] = CAN_STATUS_*) */
#define CAN_MSGTYPE_WAKEUP 4
#define CAN_MSGTYPE_TIMEOVR 5 /* time stamp counter overflow */
#define CAN_MSGTYPE_TIMERST 6 /* time stamp counter reset */

#define CAN_INFO_START 1
#define CAN_INFO_STOP 2
#define CAN_INFO_RESET 3

#define CAN_ERROR_STUFF 1
#define CAN_ERROR_FORM 2
#define CAN_ERROR_ACK 3
#define CAN_ERROR_BIT 4
#define CAN_ERROR_CRC 6
#define CAN_ERROR_OTHER 7

#define CAN_STATUS_TXPEND 0x01 /* transmission pending */
#define CAN_STATUS_OVRRUN 0x02 /* data overrun */
#define CAN_STATUS_ERRLIM 0x04 /* error warning limit exceeded */
#define CAN_STATUS_BUSOFF 0x08 /* bus-off */
#define CAN_STATUS_ININIT 0x10 /* controller in init mode */
#define CAN_STATUS_BUSCERR 0x20 /* bus coupling error */

/* Bits of CANMSGINFO.Bytes.bFlags. */
#define CAN_MSGFLAGS_DLC 0x0F /* data length code */
#define CAN_MSGFLAGS_OVR 0x10 /* receive overrun before this message */
#define CAN_MSGFLAGS_SRR 0x20 /* self reception request */
#define CAN_MSGFLAGS_RTR 0x40 /* remote transmission request */
#define CAN_MSGFLAGS_EXT 0x80 /* 29-bit identifier */

#define CAN_ACCEPT_REJECT 0x00
#define CAN_ACCEPT_ALWAYS 0xFF

typedef union _CANMSGINFO {
  struct {
    UINT8 bType;     /* CAN_MSGTYPE_* */
    UINT8 bReserved;
    UINT8 bFlags;    /* CAN_MSGFLAGS_* with the DLC in the low 4 bits */
    UINT8 bAccept;   /* CAN_ACCEPT_* (received messages) */
  } Bytes;
  struct {
    UINT32 type : 8;
    UINT32 res : 8;
    UINT32 dlc : 4;
    UINT32 ovr : 1;
    UINT32 srr : 1;
    UINT32 rtr : 1;
    UINT32 ext : 1;
    UINT32 afc : 8;
  } Bits;
} CANMSGINFO, *PCANMSGINFO;

typedef struct _CANMSG {
  UINT32 dwTime;        /* reception time stamp in controller ticks (microseconds here) */
  UINT32 dwMsgId;       /* identifier, right aligned, without RTR bit */
  CANMSGINFO uMsgInfo;
  UINT8 abData[8];
} CANMSG, *PCANMSG;

/* Operating modes of canControlInitialize (bit mask). */
#define CAN_OPMODE_UNDEFINED 0x00
#define CAN_OPMODE_STANDARD 0x01 /* 11-bit identifiers */
#define CAN_OPMODE_EXTENDED 0x02 /* 29-bit identifiers */
#define CAN_OPMODE_ERRFRAME 0x04 /* report error frames */
#define CAN_OPMODE_LISTONLY 0x08
#define CAN_OPMODE_LOWSPEED 0x10

/* Predefined bit-timing register pairs (SJA1000 at 16 MHz). */
#define CAN_BT0_10KB 0x31
#define CAN_BT1_10KB 0x1C
#define CAN_BT0_20KB 0x18
#define CAN_BT1_20KB 0x1C
#define CAN_BT0_50KB 0x09
#define CAN_BT1_50KB 0x1C
#define CAN_BT0_100KB 0x04
#define CAN_BT1_100KB 0x1C
#define CAN_BT0_125KB 0x03
#define CAN_BT1_125KB 0x1C
#define CAN_BT0_250KB 0x01
#define CAN_BT1_250KB 0x1C
#define CAN_BT0_500KB 0x00
#define CAN_BT1_500KB 0x1C
#define CAN_BT0_800KB 0x00
#define CAN_BT1_800KB 0x16
#define CAN_BT0_1000KB 0x00
#define CAN_BT1_1000KB 0x14

/* Acceptance filter code/mask that pass every identifier. */
#define CAN_ACC_CODE_ALL 0x00000000U
#define CAN_ACC_MASK_ALL 0x00000000U
#define CAN_ACC_CODE_NONE 0x80000000U
#define CAN_ACC_MASK_NONE 0xFFFFFFFFU

/* ------------------------------------------------------------ functions */

#define VCIAPI
#if defined(__GNUC__)
#define VCINPL_API __attribute__((visibility("default")))
#else
#define VCINPL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* General */
VCINPL_API HRESULT VCIAPI vciInitialize(void);
VCINPL_API HRESULT VCIAPI vciGetVersion(PUINT32 pdwMajorVersion, PUINT32 pdwMinorVersion);
VCINPL_API void VCIAPI vciFormatError(HRESULT hrError, PCHAR pszText, UINT32 dwSize);
/* "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; needs 39 characters. */
VCINPL_API HRESULT VCIAPI vciGuidToChar(REFGUID rGuid, PCHAR pszString, UINT32 dwSize);

/* Device enumeration. WaitEvent returns VCI_OK when the device list changed
 * since the enumerator last ran through it, VCI_E_TIMEOUT otherwise. */
VCINPL_API HRESULT VCIAPI vciEnumDeviceOpen(PHANDLE phEnum);
VCINPL_API HRESULT VCIAPI vciEnumDeviceClose(HANDLE hEnum);
VCINPL_API HRESULT VCIAPI vciEnumDeviceNext(HANDLE hEnum, PVCIDEVICEINFO pInfo);
VCINPL_API HRESULT VCIAPI vciEnumDeviceReset(HANDLE hEnum);
VCINPL_API HRESULT VCIAPI vciEnumDeviceWaitEvent(HANDLE hEnum, UINT32 dwMsTimeout);

/* Devices */
VCINPL_API HRESULT VCIAPI vciDeviceOpen(REFVCIID rVciid, PHANDLE phDevice);
VCINPL_API HRESULT VCIAPI vciDeviceClose(HANDLE hDevice);
VCINPL_API HRESULT VCIAPI vciDeviceGetInfo(HANDLE hDevice, PVCIDEVICEINFO pInfo);
VCINPL_API HRESULT VCIAPI vciDeviceGetCaps(HANDLE hDevice, PVCIDEVICECAPS pCaps);

/* CAN controller (bus line) */
VCINPL_API HRESULT VCIAPI canControlOpen(HANDLE hDevice, UINT32 dwCanNo, PHANDLE phCanCtl);
VCINPL_API HRESULT VCIAPI canControlClose(HANDLE hCanCtl);
VCINPL_API HRESULT VCIAPI canControlInitialize(HANDLE hCanCtl, UINT8 bMode, UINT8 bBtr0, UINT8 bBtr1);
VCINPL_API HRESULT VCIAPI canControlReset(HANDLE hCanCtl);
VCINPL_API HRESULT VCIAPI canControlStart(HANDLE hCanCtl, BOOL fStart);
VCINPL_API HRESULT VCIAPI canControlSetAccFilter(HANDLE hCanCtl, BOOL fExtend, UINT32 dwCode, UINT32 dwMask);

/* CAN message channel */
VCINPL_API HRESULT VCIAPI canChannelOpen(HANDLE hDevice, UINT32 dwCanNo, BOOL fExclusive, PHANDLE phCanChn);
VCINPL_API HRESULT VCIAPI canChannelClose(HANDLE hCanChn);
VCINPL_API HRESULT VCIAPI canChannelInitialize(HANDLE hCanChn, UINT16 wRxFifoSize, UINT16 wRxThreshold,
                                               UINT16 wTxFifoSize, UINT16 wTxThreshold);
VCINPL_API HRESULT VCIAPI canChannelActivate(HANDLE hCanChn, BOOL fEnable);
/* Waits up to dwMsTimeout (INFINITE: no limit) for a message. */
VCINPL_API HRESULT VCIAPI canChannelReadMessage(HANDLE hCanChn, UINT32 dwMsTimeout, PCANMSG pCanMsg);
VCINPL_API HRESULT VCIAPI canChannelSendMessage(HANDLE hCanChn, UINT32 dwMsTimeout, PCANMSG pCanMsg);

#ifdef __cplusplus
}
#endif

/* Function-pointer types for binding the library by name at run time. */
typedef HRESULT(VCIAPI* PF_vciInitialize)(void);
typedef HRESULT(VCIAPI* PF_vciGetVersion)(PUINT32, PUINT32);
typedef void(VCIAPI* PF_vciFormatError)(HRESULT, PCHAR, UINT32);
typedef HRESULT(VCIAPI* PF_vciGuidToChar)(REFGUID, PCHAR, UINT32);
typedef HRESULT(VCIAPI* PF_vciEnumDeviceOpen)(PHANDLE);
typedef HRESULT(VCIAPI* PF_vciEnumDeviceClose)(HANDLE);
typedef HRESULT(VCIAPI* PF_vciEnumDeviceNext)(HANDLE, PVCIDEVICEINFO);
typedef HRESULT(VCIAPI* PF_vciEnumDeviceReset)(HANDLE);
typedef HRESULT(VCIAPI* PF_vciEnumDeviceWaitEvent)(HANDLE, UINT32);
typedef HRESULT(VCIAPI* PF_vciDeviceOpen)(REFVCIID, PHANDLE);
typedef HRESULT(VCIAPI* PF_vciDeviceClose)(HANDLE);
typedef HRESULT(VCIAPI* PF_vciDeviceGetInfo)(HANDLE, PVCIDEVICEINFO);
typedef HRESULT(VCIAPI* PF_vciDeviceGetCaps)(HANDLE, PVCIDEVICECAPS);
typedef HRESULT(VCIAPI* PF_canControlOpen)(HANDLE, UINT32, PHANDLE);
typedef HRESULT(VCIAPI* PF_canControlClose)(HANDLE);
typedef HRESULT(VCIAPI* PF_canControlInitialize)(HANDLE, UINT8, UINT8, UINT8);
typedef HRESULT(VCIAPI* PF_canControlReset)(HANDLE);
typedef HRESULT(VCIAPI* PF_canControlStart)(HANDLE, BOOL);
typedef HRESULT(VCIAPI* PF_canControlSetAccFilter)(HANDLE, BOOL, UINT32, UINT32);
typedef HRESULT(VCIAPI* PF_canChannelOpen)(HANDLE, UINT32, BOOL, PHANDLE);
typedef HRESULT(VCIAPI* PF_canChannelClose)(HANDLE);
typedef HRESULT(VCIAPI* PF_canChannelInitialize)(HANDLE, UINT16, UINT16, UINT16, UINT16);
typedef HRESULT(VCIAPI* PF_canChannelActivate)(HANDLE, BOOL);
typedef HRESULT(VCIAPI* PF_canChannelReadMessage)(HANDLE, UINT32, PCANMSG);
typedef HRESULT(VCIAPI* PF_canChannelSendMessage)(HANDLE, UINT32, PCANMSG);

#endif /* KESTRUM_VCINPL_H */
