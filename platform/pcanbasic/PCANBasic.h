/*
 * The PCAN-Basic programming interface as this project's libpcanbasic.so
 * implements it: the vendor's published names, types, constants and
 * structure layouts for the subset Kestrum/Varnex use, so that the vendor's
 * own library can take this one's place unchanged.
 *
 * Layout: the structures use the compiler's natural alignment, which is what
 * the vendor's interface uses on Linux and Windows (no packing pragma):
 * TPCANMsg is 16 bytes (ID at 0, MSGTYPE at 4, LEN at 5, DATA at 6, two bytes
 * of tail padding), TPCANTimestamp is 8 bytes.
 *
 * Calling convention: the platform's default C convention (cdecl on Linux).
 */
#ifndef KESTRUM_PCANBASIC_H
#define KESTRUM_PCANBASIC_H

#include <stdint.h>

/* Basic types as the vendor's interface names them. */
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef char* LPSTR;

typedef WORD TPCANHandle;      /* channel handle */
typedef DWORD TPCANStatus;     /* status / error code, a bit mask */
typedef BYTE TPCANParameter;   /* parameter of CAN_GetValue/CAN_SetValue */
typedef BYTE TPCANDevice;      /* device family */
typedef BYTE TPCANMessageType; /* PCAN_MESSAGE_* bits */
typedef BYTE TPCANType;        /* hardware type of non plug-and-play channels */
typedef BYTE TPCANMode;        /* filter mode */
typedef WORD TPCANBaudrate;    /* BTR0 in the high byte, BTR1 in the low byte */

/* Channel handles: family base + number (from 1). */
#define PCAN_NONEBUS ((TPCANHandle)0x00U)

#define PCAN_ISABUS1 ((TPCANHandle)0x21U)
#define PCAN_ISABUS2 ((TPCANHandle)0x22U)
#define PCAN_ISABUS3 ((TPCANHandle)0x23U)
#define PCAN_ISABUS4 ((TPCANHandle)0x24U)
#define PCAN_ISABUS5 ((TPCANHandle)0x25U)
#define PCAN_ISABUS6 ((TPCANHandle)0x26U)
#define PCAN_ISABUS7 ((TPCANHandle)0x27U)
#define PCAN_ISABUS8 ((TPCANHandle)0x28U)

#define PCAN_DNGBUS1 ((TPCANHandle)0x31U)

#define PCAN_PCIBUS1 ((TPCANHandle)0x41U)
#define PCAN_PCIBUS2 ((TPCANHandle)0x42U)
#define PCAN_PCIBUS3 ((TPCANHandle)0x43U)
#define PCAN_PCIBUS4 ((TPCANHandle)0x44U)
#define PCAN_PCIBUS5 ((TPCANHandle)0x45U)
#define PCAN_PCIBUS6 ((TPCANHandle)0x46U)
#define PCAN_PCIBUS7 ((TPCANHandle)0x47U)
#define PCAN_PCIBUS8 ((TPCANHandle)0x48U)

#define PCAN_USBBUS1 ((TPCANHandle)0x51U)
#define PCAN_USBBUS2 ((TPCANHandle)0x52U)
#define PCAN_USBBUS3 ((TPCANHandle)0x53U)
#define PCAN_USBBUS4 ((TPCANHandle)0x54U)
#define PCAN_USBBUS5 ((TPCANHandle)0x55U)
#define PCAN_USBBUS6 ((TPCANHandle)0x56U)
#define PCAN_USBBUS7 ((TPCANHandle)0x57U)
#define PCAN_USBBUS8 ((TPCANHandle)0x58U)

#define PCAN_PCCBUS1 ((TPCANHandle)0x61U)
#define PCAN_PCCBUS2 ((TPCANHandle)0x62U)

/* Status codes. Several bus states may be reported at once (bit mask). */
#define PCAN_ERROR_OK 0x00000U           /* no error */
#define PCAN_ERROR_XMTFULL 0x00001U      /* transmit buffer of the controller full */
#define PCAN_ERROR_OVERRUN 0x00002U      /* controller read too late */
#define PCAN_ERROR_BUSLIGHT 0x00004U     /* an error counter reached the 'light' limit */
#define PCAN_ERROR_BUSHEAVY 0x00008U     /* an error counter reached the 'heavy' limit */
#define PCAN_ERROR_BUSWARNING PCAN_ERROR_BUSHEAVY
#define PCAN_ERROR_BUSPASSIVE 0x40000U   /* controller is error passive */
#define PCAN_ERROR_BUSOFF 0x00010U       /* controller is bus-off */
#define PCAN_ERROR_ANYBUSERR \
  (PCAN_ERROR_BUSWARNING | PCAN_ERROR_BUSLIGHT | PCAN_ERROR_BUSHEAVY | PCAN_ERROR_BUSOFF | PCAN_ERROR_BUSPASSIVE)
#define PCAN_ERROR_QRCVEMPTY 0x00020U    /* receive queue empty */
#define PCAN_ERROR_QOVERRUN 0x00040U     /* receive queue read too late */
#define PCAN_ERROR_QXMTFULL 0x00080U     /* transmit queue full */
#define PCAN_ERROR_REGTEST 0x00100U      /* controller register test failed (no hardware) */
#define PCAN_ERROR_NODRIVER 0x00200U     /* driver not loaded */
#define PCAN_ERROR_HWINUSE 0x00400U      /* hardware already in use by a net */
#define PCAN_ERROR_NETINUSE 0x00800U     /* a client is already connected to the net */
#define PCAN_ERROR_ILLHW 0x01400U        /* hardware handle invalid / hardware absent */
#define PCAN_ERROR_ILLNET 0x01800U       /* net handle invalid */
#define PCAN_ERROR_ILLCLIENT 0x01C00U    /* client handle invalid */
#define PCAN_ERROR_ILLHANDLE (PCAN_ERROR_ILLHW | PCAN_ERROR_ILLNET | PCAN_ERROR_ILLCLIENT)
#define PCAN_ERROR_RESOURCE 0x02000U     /* resource (FIFO, client, time-out) cannot be created */
#define PCAN_ERROR_ILLPARAMTYPE 0x04000U /* invalid parameter */
#define PCAN_ERROR_ILLPARAMVAL 0x08000U  /* invalid parameter value */
#define PCAN_ERROR_UNKNOWN 0x10000U      /* unknown error */
#define PCAN_ERROR_ILLDATA 0x20000U      /* invalid data, function or action */
#define PCAN_ERROR_ILLMODE 0x80000U      /* object state wrong for the operation */
#define PCAN_ERROR_CAUTION 0x2000000U    /* done, but irregularities were registered */
#define PCAN_ERROR_INITIALIZE 0x4000000U /* channel not initialised (or already in use) */
#define PCAN_ERROR_ILLOPERATION 0x8000000U /* invalid operation */

/* Message types (bits of TPCANMsg.MSGTYPE). */
#define PCAN_MESSAGE_STANDARD ((TPCANMessageType)0x00U) /* 11-bit data frame */
#define PCAN_MESSAGE_RTR ((TPCANMessageType)0x01U)      /* remote request */
#define PCAN_MESSAGE_EXTENDED ((TPCANMessageType)0x02U) /* 29-bit identifier */
#define PCAN_MESSAGE_FD ((TPCANMessageType)0x04U)
#define PCAN_MESSAGE_BRS ((TPCANMessageType)0x08U)
#define PCAN_MESSAGE_ESI ((TPCANMessageType)0x10U)
#define PCAN_MESSAGE_ECHO ((TPCANMessageType)0x20U)
#define PCAN_MESSAGE_ERRFRAME ((TPCANMessageType)0x40U) /* error frame */
#define PCAN_MESSAGE_STATUS ((TPCANMessageType)0x80U)   /* status message */

/* Predefined bit-rate codes (BTR0/BTR1 of an SJA1000 at 16 MHz). */
#define PCAN_BAUD_1M ((TPCANBaudrate)0x0014U)
#define PCAN_BAUD_800K ((TPCANBaudrate)0x0016U)
#define PCAN_BAUD_500K ((TPCANBaudrate)0x001CU)
#define PCAN_BAUD_250K ((TPCANBaudrate)0x011CU)
#define PCAN_BAUD_125K ((TPCANBaudrate)0x031CU)
#define PCAN_BAUD_100K ((TPCANBaudrate)0x432FU)
#define PCAN_BAUD_50K ((TPCANBaudrate)0x472FU)
#define PCAN_BAUD_20K ((TPCANBaudrate)0x532FU)
#define PCAN_BAUD_10K ((TPCANBaudrate)0x672FU)
#define PCAN_BAUD_5K ((TPCANBaudrate)0x7F7FU)

/* Parameters of CAN_GetValue / CAN_SetValue (the subset this library knows). */
#define PCAN_RECEIVE_EVENT ((TPCANParameter)0x03U) /* receive event; on Linux a file descriptor (int) */

/* One classic CAN message. */
typedef struct tagTPCANMsg {
  DWORD ID;                 /* identifier, 11 or 29 bit */
  TPCANMessageType MSGTYPE; /* PCAN_MESSAGE_* bits */
  BYTE LEN;                 /* data length code 0..8 */
  BYTE DATA[8];             /* data bytes */
} TPCANMsg;

/* Reception time: microseconds = micros + 1000 * millis + 0x100000000 * 1000 * millis_overflow. */
typedef struct tagTPCANTimestamp {
  DWORD millis;          /* milliseconds */
  WORD millis_overflow;  /* roll-overs of millis */
  WORD micros;           /* microseconds 0..999 */
} TPCANTimestamp;

#if defined(__GNUC__)
#define PCANBASIC_API __attribute__((visibility("default")))
#else
#define PCANBASIC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a channel at a bit rate. HwType, IOPort and Interrupt only matter for
 * non plug-and-play hardware and are ignored here. */
PCANBASIC_API TPCANStatus CAN_Initialize(TPCANHandle Channel, TPCANBaudrate Btr0Btr1, TPCANType HwType,
                                         DWORD IOPort, WORD Interrupt);
PCANBASIC_API TPCANStatus CAN_Uninitialize(TPCANHandle Channel);
/* Discards the channel's receive and transmit queues. */
PCANBASIC_API TPCANStatus CAN_Reset(TPCANHandle Channel);
/* Current bus state of an initialised channel. */
PCANBASIC_API TPCANStatus CAN_GetStatus(TPCANHandle Channel);
/* Takes the oldest received message without waiting; PCAN_ERROR_QRCVEMPTY
 * when there is none. TimestampBuffer may be null. */
PCANBASIC_API TPCANStatus CAN_Read(TPCANHandle Channel, TPCANMsg* MessageBuffer, TPCANTimestamp* TimestampBuffer);
PCANBASIC_API TPCANStatus CAN_Write(TPCANHandle Channel, TPCANMsg* MessageBuffer);
/* Reads a channel parameter into Buffer (BufferLength bytes).
 * PCAN_RECEIVE_EVENT: an int file descriptor, owned by the channel and valid
 * until CAN_Uninitialize, that poll()/select() report readable exactly while
 * CAN_Read would return something other than PCAN_ERROR_QRCVEMPTY (a waiting
 * message, or the error of a lost bus); reading it is not needed.
 * PCAN_ERROR_ILLPARAMTYPE for a parameter this library does not have,
 * PCAN_ERROR_ILLPARAMVAL for a null or too small buffer. */
PCANBASIC_API TPCANStatus CAN_GetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer,
                                       DWORD BufferLength);
/* Sets a channel parameter. This library has no settable parameter: always
 * PCAN_ERROR_ILLPARAMTYPE. */
PCANBASIC_API TPCANStatus CAN_SetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer,
                                       DWORD BufferLength);
/* Text of a status code; Buffer must hold 256 characters. Language 0x00
 * (neutral) and 0x09 (English) give English, 0x07 German. */
PCANBASIC_API TPCANStatus CAN_GetErrorText(TPCANStatus Error, WORD Language, LPSTR Buffer);

#ifdef __cplusplus
}
#endif

/* Function-pointer types for binding the library by name at run time. */
typedef TPCANStatus (*PFN_CAN_Initialize)(TPCANHandle, TPCANBaudrate, TPCANType, DWORD, WORD);
typedef TPCANStatus (*PFN_CAN_Uninitialize)(TPCANHandle);
typedef TPCANStatus (*PFN_CAN_Reset)(TPCANHandle);
typedef TPCANStatus (*PFN_CAN_GetStatus)(TPCANHandle);
typedef TPCANStatus (*PFN_CAN_Read)(TPCANHandle, TPCANMsg*, TPCANTimestamp*);
typedef TPCANStatus (*PFN_CAN_Write)(TPCANHandle, TPCANMsg*);
typedef TPCANStatus (*PFN_CAN_GetValue)(TPCANHandle, TPCANParameter, void*, DWORD);
typedef TPCANStatus (*PFN_CAN_SetValue)(TPCANHandle, TPCANParameter, void*, DWORD);
typedef TPCANStatus (*PFN_CAN_GetErrorText)(TPCANStatus, WORD, LPSTR);

#endif /* KESTRUM_PCANBASIC_H */
