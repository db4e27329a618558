#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CanTransport.h"

namespace kestrum::transport {

/// Where one CAN bus can be reached.
struct BusEndpoint {
  enum class Kind { Socketcand, SocketCan };
  Kind kind = Kind::Socketcand;
  std::string host;      ///< socketcand: server address
  std::uint16_t port = 0;///< socketcand: server port
  std::string bus;       ///< socketcand: bus name opened on the server ("can0")
  std::string ifname;    ///< SocketCAN: interface name
  std::string driver;    ///< SocketCAN: kernel driver name ("peak_usb", ...); empty for socketcand
  std::string entry;     ///< the KESTRUM_BUS entry it came from, as written; empty for a found interface

  /// Stable text that identifies the endpoint ("127.0.0.1:29536/can0", "socketcan:can0");
  /// the stand-ins derive hardware IDs from it so a bus keeps its identity.
  std::string key() const;
};

/// PEAK channel families as PCAN-Basic numbers them (handle = base + n, n from 1).
enum class PeakBusType : std::uint16_t { Isa = 0x20, Dng = 0x30, Pci = 0x40, Usb = 0x50, Pcc = 0x60 };

struct PeakChannel {
  std::uint16_t handle = 0;  ///< PCAN-Basic channel handle, e.g. 0x51 = PCAN_USBBUS1
  BusEndpoint endpoint;
};

struct IxxatDevice {
  BusEndpoint endpoint;      ///< one CAN line per endpoint
  std::string description;   ///< shown in device lists
};

/// A KESTRUM_BUS entry that gives no bus, and why.
struct BusEntryProblem {
  unsigned number = 0;  ///< position in KESTRUM_BUS, from 1
  std::string entry;    ///< as written, without surrounding blanks
  std::string reason;
  /// "KESTRUM_BUS entry 2 "bogus" skipped: REASON", as the user is told.
  std::string message() const;
};

/// The buses this machine offers, as both vendor families see them: SocketCAN
/// interfaces by kernel driver in natural name order (PEAK drivers give PCAN
/// channels of their bus type, IXXAT drivers give IXXAT devices), then each
/// `KESTRUM_BUS` entry as the next free PCAN USB channel and as one IXXAT
/// device with one CAN line. Nothing is probed, so an entry keeps its channel
/// while its server is down; unparsable entries are skipped and listed in
/// `problems`.
struct BusInventory {
  std::vector<PeakChannel> peakChannels;
  std::vector<IxxatDevice> ixxatDevices;
  std::vector<std::string> warnings;  ///< unparsable KESTRUM_BUS entries and the like
  /// KESTRUM_BUS entries that cannot be parsed, including empty ones between
  /// commas (a trailing comma is no entry).
  std::vector<BusEntryProblem> problems;
};

/// Builds the inventory from a sysfs net class folder (normally
/// "/sys/class/net") and the text of KESTRUM_BUS (may be null).
BusInventory discoverBuses(const std::string& sysfsNetDir, const char* kestrumBus);
/// Same, from the real system and environment; tells the user once per
/// process about each entry in `problems` (reportOnce).
BusInventory discoverBuses();

/// Parses one KESTRUM_BUS entry ("HOST:PORT/BUS" or "socketcan:IFNAME").
bool parseBusEntry(const std::string& text, BusEndpoint& out, std::string& error);

/// A transport for the endpoint, not yet opened.
std::unique_ptr<CanTransport> makeTransport(const BusEndpoint& endpoint);

/// Whether the endpoint answers now (socketcand: server greets; SocketCAN:
/// interface exists and is up). Bounded by `timeoutMs`. When it does not,
/// `why` (if given) receives the reason.
bool endpointAlive(const BusEndpoint& endpoint, int timeoutMs,
                   const std::string& sysfsNetDir = "/sys/class/net", std::string* why = nullptr);

/// Tells the user, once per process and entry, that a KESTRUM_BUS entry does
/// not answer; nothing for an endpoint that is not from KESTRUM_BUS.
void reportUnreachable(const BusEndpoint& endpoint, const std::string& reason);

}  // namespace kestrum::transport
