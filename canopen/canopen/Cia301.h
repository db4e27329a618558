#pragma once
// CiA 301 names and numbers: the predefined connection set, NMT and its
// error-control byte, SDO command bytes, EMCY frames, store/restore and the
// PDO parameter objects. Header-only constants plus a few pure decoders.
#include <array>
#include <cstdint>
#include <optional>

namespace kestrum::canopen {

constexpr std::uint8_t kMinNodeId = 1;
constexpr std::uint8_t kMaxNodeId = 127;

/// Little-endian helpers for the byte layouts of SDO and EMCY frames.
constexpr std::uint16_t le16(const std::uint8_t* b) { return std::uint16_t(b[0] | b[1] << 8); }
constexpr std::uint32_t le32(const std::uint8_t* b) {
  return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
         std::uint32_t(b[3]) << 24;
}
inline void putLe32(std::uint8_t* b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = std::uint8_t(v >> (8 * i));
}

// ---- COB-IDs of the predefined connection set ----------------------------
namespace cob {

constexpr std::uint16_t kNmt = 0x000;
constexpr std::uint16_t kSync = 0x080;
constexpr std::uint16_t kEmcy = 0x080;  ///< + node ID
constexpr std::uint16_t kTime = 0x100;
constexpr std::uint16_t kTpdo1 = 0x180;  ///< transmit PDO n: 0x180 + 0x100 (n - 1) + node ID
constexpr std::uint16_t kRpdo1 = 0x200;  ///< receive PDO n: 0x200 + 0x100 (n - 1) + node ID
constexpr std::uint16_t kSdoTx = 0x580;  ///< server to client: SDO answers
constexpr std::uint16_t kSdoRx = 0x600;  ///< client to server: SDO requests
constexpr std::uint16_t kErrorControl = 0x700;  ///< heartbeat, boot-up and node guarding

constexpr std::uint16_t sdoRequest(std::uint8_t node) { return std::uint16_t(kSdoRx + node); }
constexpr std::uint16_t sdoAnswer(std::uint8_t node) { return std::uint16_t(kSdoTx + node); }
constexpr std::uint16_t emcy(std::uint8_t node) { return std::uint16_t(kEmcy + node); }
constexpr std::uint16_t errorControl(std::uint8_t node) { return std::uint16_t(kErrorControl + node); }
/// Default COB-IDs of PDO n (1 to 4), as seen from the node.
constexpr std::uint16_t tpdo(int n, std::uint8_t node) { return std::uint16_t(kTpdo1 + 0x100 * (n - 1) + node); }
constexpr std::uint16_t rpdo(int n, std::uint8_t node) { return std::uint16_t(kRpdo1 + 0x100 * (n - 1) + node); }

/// What an 11-bit identifier carries in the predefined connection set.
enum class Function {
  Nmt, Sync, Emcy, Time, Tpdo1, Rpdo1, Tpdo2, Rpdo2, Tpdo3, Rpdo3, Tpdo4, Rpdo4,
  SdoTx, SdoRx, ErrorControl, Other
};
struct Classified {
  Function function = Function::Other;
  std::uint8_t node = 0;  ///< 0 for the broadcast objects (NMT, SYNC, TIME)
};
/// Classifies an identifier by its function code (bits 10..7) and node ID.
Classified classify(std::uint16_t id);
/// PDO number 1 to 4 of a PDO function, 0 otherwise.
int pdoNumber(Function f);

// Bits of the COB-ID entries of PDO, SYNC and EMCY parameters.
constexpr std::uint32_t kInvalid = 1u << 31;   ///< the object does not exist / is not valid
constexpr std::uint32_t kNoRtr = 1u << 30;     ///< PDO: no remote request allowed
constexpr std::uint32_t kExtended = 1u << 29;  ///< 29-bit identifier
constexpr std::uint32_t kId11Mask = 0x7FF;
constexpr std::uint32_t kId29Mask = 0x1FFFFFFF;

}  // namespace cob

// ---- NMT -----------------------------------------------------------------
namespace nmt {

// Command bytes (first byte of an NMT frame on 0x000; the second is the node ID, 0 for all).
constexpr std::uint8_t kStart = 0x01;
constexpr std::uint8_t kStop = 0x02;
constexpr std::uint8_t kEnterPreOperational = 0x80;
constexpr std::uint8_t kResetNode = 0x81;
constexpr std::uint8_t kResetCommunication = 0x82;

// States as the error-control byte carries them (bits 6..0).
constexpr std::uint8_t kBootUp = 0x00;
constexpr std::uint8_t kStopped = 0x04;
constexpr std::uint8_t kOperational = 0x05;
constexpr std::uint8_t kPreOperational = 0x7F;
constexpr std::uint8_t kStateMask = 0x7F;
/// Node guarding answers alternate bit 7; heartbeats and boot-up keep it 0.
constexpr std::uint8_t kToggle = 0x80;

struct ErrorControlByte {
  std::uint8_t state = 0;  ///< one of the k... states, or another value a node sent
  bool toggle = false;
  bool known = false;  ///< state is one of the four CiA 301 defines
};
constexpr ErrorControlByte decodeErrorControl(std::uint8_t byte) {
  const std::uint8_t s = byte & kStateMask;
  return {s, (byte & kToggle) != 0,
          s == kBootUp || s == kStopped || s == kOperational || s == kPreOperational};
}
constexpr std::uint8_t encodeErrorControl(std::uint8_t state, bool toggle) {
  return std::uint8_t((state & kStateMask) | (toggle ? kToggle : 0));
}

}  // namespace nmt

// ---- SDO -----------------------------------------------------------------
namespace sdo {

/// The command specifier: bits 7..5 of byte 0.
constexpr std::uint8_t specifier(std::uint8_t byte0) { return byte0 >> 5; }
// Client command specifiers.
constexpr std::uint8_t kCcsDownloadSegment = 0;
constexpr std::uint8_t kCcsInitiateDownload = 1;
constexpr std::uint8_t kCcsInitiateUpload = 2;
constexpr std::uint8_t kCcsUploadSegment = 3;
constexpr std::uint8_t kCsAbort = 4;
constexpr std::uint8_t kCcsBlockUpload = 5;
constexpr std::uint8_t kCcsBlockDownload = 6;
// Server command specifiers.
constexpr std::uint8_t kScsUploadSegment = 0;
constexpr std::uint8_t kScsDownloadSegment = 1;
constexpr std::uint8_t kScsInitiateUpload = 2;
constexpr std::uint8_t kScsInitiateDownload = 3;

// Flag bits of byte 0.
constexpr std::uint8_t kToggle = 0x10;         ///< segments
constexpr std::uint8_t kExpedited = 0x02;      ///< initiate: data in bytes 4..7
constexpr std::uint8_t kSizeIndicated = 0x01;  ///< initiate: size given
constexpr std::uint8_t kLastSegment = 0x01;    ///< segments: no more follow
/// Number of unused bytes: bits 3..2 of an expedited initiate, 3..1 of a segment.
constexpr int expeditedUnused(std::uint8_t byte0) { return (byte0 >> 2) & 3; }
constexpr int segmentUnused(std::uint8_t byte0) { return (byte0 >> 1) & 7; }

// Whole command bytes as they appear on the bus.
constexpr std::uint8_t kUploadRequest = 0x40;
constexpr std::uint8_t kUploadSegmentedAnswer = 0x41;  ///< size indicated in bytes 4..7
constexpr std::uint8_t kDownloadAcknowledge = 0x60;
constexpr std::uint8_t kUploadSegmentRequest = 0x60;  ///< | kToggle for the odd segments
constexpr std::uint8_t kAbort = 0x80;
/// Expedited download request / expedited upload answer with size indicated, of n (1..4) bytes.
constexpr std::uint8_t expeditedDownload(int n) { return std::uint8_t(0x23 | (4 - n) << 2); }
constexpr std::uint8_t expeditedUpload(int n) { return std::uint8_t(0x43 | (4 - n) << 2); }

/// Writes the multiplexer (index little-endian, sub-index) into bytes 1..3.
inline void putMultiplexer(std::uint8_t* frame, std::uint16_t index, std::uint8_t sub) {
  frame[1] = std::uint8_t(index);
  frame[2] = std::uint8_t(index >> 8);
  frame[3] = sub;
}
constexpr std::uint16_t multiplexerIndex(const std::uint8_t* frame) { return le16(frame + 1); }

}  // namespace sdo

// ---- EMCY ----------------------------------------------------------------
namespace emcy {

struct Emergency {
  std::uint16_t errorCode = 0;  ///< 0x0000: error reset / no error
  std::uint8_t errorRegister = 0;
  std::array<std::uint8_t, 5> maker{};  ///< manufacturer-specific bytes 3..7
};
/// Decodes an EMCY frame's data; nullopt when it is too short to carry the
/// error code and the register (missing maker bytes read as 0).
std::optional<Emergency> decode(const std::uint8_t* data, std::uint8_t dlc);

// Error register (0x1001) bits.
constexpr std::uint8_t kGenericError = 0x01;
constexpr std::uint8_t kCurrentError = 0x02;
constexpr std::uint8_t kVoltageError = 0x04;
constexpr std::uint8_t kTemperatureError = 0x08;
constexpr std::uint8_t kCommunicationError = 0x10;
constexpr std::uint8_t kDeviceProfileError = 0x20;
constexpr std::uint8_t kManufacturerError = 0x80;
/// The error register bit of an error code's class (0 for the classes that set only the generic bit).
std::uint8_t registerBitOf(std::uint16_t errorCode);

}  // namespace emcy

// ---- Objects of the communication profile ---------------------------------
namespace od {

constexpr std::uint16_t kDeviceType = 0x1000;
constexpr std::uint16_t kErrorRegister = 0x1001;
constexpr std::uint16_t kErrorHistory = 0x1003;
constexpr std::uint16_t kDeviceName = 0x1008;
constexpr std::uint16_t kHardwareVersion = 0x1009;
constexpr std::uint16_t kSoftwareVersion = 0x100A;
constexpr std::uint16_t kGuardTime = 0x100C;
constexpr std::uint16_t kLifeTimeFactor = 0x100D;
constexpr std::uint16_t kStoreParameters = 0x1010;
constexpr std::uint16_t kRestoreDefaults = 0x1011;
constexpr std::uint16_t kEmcyCobId = 0x1014;
constexpr std::uint16_t kProducerHeartbeat = 0x1017;
constexpr std::uint16_t kIdentity = 0x1018;

/// Signatures that make 0x1010 store and 0x1011 restore: "save" and "load" in ASCII, little-endian.
constexpr std::uint32_t kSaveSignature = 0x65766173;
constexpr std::uint32_t kLoadSignature = 0x64616F6C;

}  // namespace od

// ---- PDO parameters --------------------------------------------------------
namespace pdo {

constexpr std::uint16_t kRpdoCommunication = 0x1400;
constexpr std::uint16_t kRpdoMapping = 0x1600;
constexpr std::uint16_t kTpdoCommunication = 0x1800;
constexpr std::uint16_t kTpdoMapping = 0x1A00;
/// Distance from a communication parameter object to its mapping object.
constexpr std::uint16_t kMappingOffset = 0x200;
constexpr std::uint16_t rpdoCommunication(int n) { return std::uint16_t(kRpdoCommunication + n - 1); }
constexpr std::uint16_t rpdoMapping(int n) { return std::uint16_t(kRpdoMapping + n - 1); }
constexpr std::uint16_t tpdoCommunication(int n) { return std::uint16_t(kTpdoCommunication + n - 1); }
constexpr std::uint16_t tpdoMapping(int n) { return std::uint16_t(kTpdoMapping + n - 1); }

// Sub-indices of the communication parameter.
constexpr std::uint8_t kCobId = 1;
constexpr std::uint8_t kTransmissionType = 2;
constexpr std::uint8_t kInhibitTime = 3;  ///< in 100 us
constexpr std::uint8_t kEventTimer = 5;   ///< in ms
constexpr std::uint8_t kSyncStart = 6;

// Transmission types.
constexpr std::uint8_t kSyncAcyclic = 0;
constexpr std::uint8_t kSyncCyclicMax = 240;  ///< 1..240: every n-th SYNC
constexpr std::uint8_t kRtrSync = 252;
constexpr std::uint8_t kRtrEvent = 253;
constexpr std::uint8_t kEventManufacturer = 254;
constexpr std::uint8_t kEventProfile = 255;

constexpr int kMaxEntries = 8;
constexpr int kMaxBits = 64;

/// One mapping entry: object index << 16 | sub-index << 8 | length in bits.
struct MappingEntry {
  std::uint16_t index = 0;
  std::uint8_t sub = 0;
  std::uint8_t bits = 0;
  friend constexpr bool operator==(MappingEntry a, MappingEntry b) {
    return a.index == b.index && a.sub == b.sub && a.bits == b.bits;
  }
};
constexpr std::uint32_t pack(MappingEntry e) {
  return std::uint32_t(e.index) << 16 | std::uint32_t(e.sub) << 8 | e.bits;
}
constexpr MappingEntry unpack(std::uint32_t v) {
  return {std::uint16_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

}  // namespace pdo

}  // namespace kestrum::canopen
