#include "BusInventory.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "BusReport.h"
#include "SocketCanTransport.h"
#include "SocketcandTransport.h"

namespace kestrum::transport {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kArphrdCan = 280;  // ARPHRD_CAN in the interface's "type" file
constexpr std::size_t kMaxIfName = 15; // IFNAMSIZ - 1

struct PeakFamily {
  PeakBusType type;
  unsigned channels;  // channels PCAN-Basic numbers for this family
};

// PEAK's mainline SocketCAN drivers and the PCAN-Basic channel family each stands for.
bool peakFamilyOf(const std::string& driver, PeakFamily& out) {
  if (driver == "peak_usb") out = {PeakBusType::Usb, 8};
  else if (driver == "peak_pci" || driver == "peak_pciefd") out = {PeakBusType::Pci, 8};
  else if (driver == "peak_pcmcia") out = {PeakBusType::Pcc, 2};
  else return false;
  return true;
}

// IXXAT adapters' SocketCAN drivers: the USB-to-CAN driver in its older
// (ixx_usb) and newer (ixxat_usb) generation, and the PCI/PCIe cards'.
bool isIxxatDriver(const std::string& driver) {
  return driver == "ixx_usb" || driver == "ixxat_usb" || driver == "ixx_pci";
}

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool hasBadChar(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    return std::isspace(static_cast<unsigned char>(c)) || c == '<' || c == '>' || c == '/' || c == ',';
  });
}

std::string readLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return trim(line);
}

// "can2" before "can10": digit runs compare by value.
bool naturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      const std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      const std::size_t za = na.find_first_not_of('0'), zb = nb.find_first_not_of('0');
      const std::string va = za == std::string::npos ? "" : na.substr(za);
      const std::string vb = zb == std::string::npos ? "" : nb.substr(zb);
      if (va.size() != vb.size()) return va.size() < vb.size();
      if (va != vb) return va < vb;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

struct CanInterface {
  std::string name;
  std::string driver;
};

std::vector<CanInterface> listCanInterfaces(const std::string& sysfsNetDir) {
  std::vector<CanInterface> found;
  std::error_code ec;
  for (fs::directory_iterator it(sysfsNetDir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path dir = it->path();
    if (readLine(dir / "type") != std::to_string(kArphrdCan)) continue;
    std::error_code linkError;
    const fs::path driver = fs::read_symlink(dir / "device" / "driver", linkError);
    found.push_back({dir.filename().string(), linkError ? std::string() : driver.filename().string()});
  }
  std::sort(found.begin(), found.end(), [](const CanInterface& a, const CanInterface& b) {
    return naturalLess(a.name, b.name);
  });
  return found;
}

}  // namespace

std::string BusEndpoint::key() const {
  if (kind == Kind::SocketCan) return "socketcan:" + ifname;
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/" + bus;
}

namespace {

// The scheme of an entry written as a URL ("tcp://...") or as "WORD:NAME"
// ("vcan:can0"), where a port would start with a digit; empty otherwise, so
// that "host:-1/can0" still reads as a bad port.
std::string schemeOf(const std::string& entry) {
  const std::size_t colon = entry.find(':');
  if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(entry[0]))) return {};
  for (std::size_t i = 0; i < colon; ++i)
    if (!std::isalnum(static_cast<unsigned char>(entry[i]))) return {};
  const std::string rest = entry.substr(colon + 1);
  const bool url = rest.rfind("//", 0) == 0;
  const bool name = !rest.empty() && !std::isdigit(static_cast<unsigned char>(rest[0])) && rest.find('/') == std::string::npos;
  return url || name ? entry.substr(0, colon) : std::string();
}

// Why `entry` (trimmed, not empty) names no bus; empty when it parses into `out`.
std::string parseProblem(const std::string& entry, BusEndpoint& out) {
  BusEndpoint ep;
  static const std::string socketcanPrefix = "socketcan:";
  if (entry.rfind(socketcanPrefix, 0) == 0) {
    ep.kind = BusEndpoint::Kind::SocketCan;
    ep.ifname = entry.substr(socketcanPrefix.size());
    if (ep.ifname.empty()) return "interface name missing (socketcan:IFNAME)";
    if (ep.ifname.size() > kMaxIfName || hasBadChar(ep.ifname) || ep.ifname == "." || ep.ifname == "..")
      return "\"" + ep.ifname + "\" is not a network interface name";
    out = ep;
    return {};
  }
  if (const std::string scheme = schemeOf(entry); !scheme.empty())
    return "unknown scheme \"" + scheme + ":\" (expected HOST:PORT/BUS or socketcan:IFNAME)";
  // HOST:PORT/BUS; an IPv6 host is written in brackets.
  std::size_t portColon;
  if (entry[0] == '[') {
    const std::size_t close = entry.find(']');
    if (close == std::string::npos) return "missing ']' after the IPv6 address";
    ep.host = entry.substr(1, close - 1);
    portColon = close + 1;
    if (portColon >= entry.size() || entry[portColon] != ':') return "expected HOST:PORT/BUS";
  } else {
    portColon = entry.find(':');
    if (portColon == std::string::npos) return "expected HOST:PORT/BUS or socketcan:IFNAME";
    ep.host = entry.substr(0, portColon);
  }
  const std::size_t slash = entry.find('/', portColon);
  if (slash == std::string::npos) return "bus name missing (HOST:PORT/BUS)";
  const std::string portText = entry.substr(portColon + 1, slash - portColon - 1);
  ep.bus = entry.substr(slash + 1);
  if (ep.host.empty()) return "host missing";
  if (hasBadChar(ep.host)) return "bad host \"" + ep.host + "\"";
  if (portText.empty()) return "port missing";
  if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return "bad port \"" + portText + "\"";
  const unsigned long port = std::stoul(portText);
  if (port == 0 || port > 65535) return "port " + portText + " out of range (1 to 65535)";
  ep.port = static_cast<std::uint16_t>(port);
  if (ep.bus.empty()) return "bus name missing (HOST:PORT/BUS)";
  if (hasBadChar(ep.bus)) return "bad bus name \"" + ep.bus + "\"";
  out = ep;
  return {};
}

}  // namespace

std::string BusEntryProblem::message() const {
  return "KESTRUM_BUS entry " + std::to_string(number) + " \"" + entry + "\" skipped: " + reason;
}

bool parseBusEntry(const std::string& text, BusEndpoint& out, std::string& error) {
  const std::string entry = trim(text);
  const std::string problem = entry.empty() ? "empty" : parseProblem(entry, out);
  if (problem.empty()) return true;
  error = "bus entry \"" + entry + "\": " + problem;
  return false;
}

BusInventory discoverBuses(const std::string& sysfsNetDir, const char* kestrumBus) {
  BusInventory inv;
  unsigned used[8] = {};  // channels taken per family, indexed by bus type >> 4
  auto takeChannel = [&](PeakFamily family, const BusEndpoint& ep) {
    unsigned& n = used[static_cast<unsigned>(family.type) >> 4];
    if (n >= family.channels) return false;
    ++n;
    inv.peakChannels.push_back({static_cast<std::uint16_t>(static_cast<unsigned>(family.type) + n), ep});
    return true;
  };

  for (const CanInterface& itf : listCanInterfaces(sysfsNetDir)) {
    BusEndpoint ep;
    ep.kind = BusEndpoint::Kind::SocketCan;
    ep.ifname = itf.name;
    ep.driver = itf.driver;
    PeakFamily family;
    if (peakFamilyOf(itf.driver, family)) {
      if (!takeChannel(family, ep))
        inv.warnings.push_back("PEAK interface " + itf.name + " skipped: all channels of its kind are taken");
    } else if (isIxxatDriver(itf.driver)) {
      inv.ixxatDevices.push_back({ep, "IXXAT " + itf.name + " (" + itf.driver + ")"});
    }
    // Other CAN interfaces (vcan, other makers) are reachable through KESTRUM_BUS.
  }

  if (!kestrumBus) return inv;
  const std::string all = kestrumBus;
  std::size_t start = 0;
  for (unsigned number = 1; start <= all.size(); ++number) {
    std::size_t comma = all.find(',', start);
    const bool last = comma == std::string::npos;
    if (last) comma = all.size();
    const std::string entry = trim(all.substr(start, comma - start));
    start = comma + 1;
    BusEndpoint ep;
    std::string reason;
    if (entry.empty()) {
      if (last) break;  // a trailing comma ends the list, it adds no entry
      reason = "empty entry";
    } else {
      reason = parseProblem(entry, ep);
    }
    if (!reason.empty()) {
      inv.problems.push_back({number, entry, reason});
      if (!entry.empty()) inv.warnings.push_back("KESTRUM_BUS: bus entry \"" + entry + "\": " + reason + "; skipped");
      continue;
    }
    ep.entry = entry;
    if (!takeChannel({PeakBusType::Usb, 8}, ep))
      inv.warnings.push_back("KESTRUM_BUS: no free PCAN USB channel for " + ep.key() + " (at most 8)");
    inv.ixxatDevices.push_back({ep, "KESTRUM_BUS " + ep.key()});
  }
  return inv;
}

BusInventory discoverBuses() {
  BusInventory inventory = discoverBuses("/sys/class/net", std::getenv("KESTRUM_BUS"));
  for (const BusEntryProblem& problem : inventory.problems)
    reportOnce("entry " + std::to_string(problem.number) + " " + problem.entry, problem.message());
  return inventory;
}

std::unique_ptr<CanTransport> makeTransport(const BusEndpoint& endpoint) {
  if (endpoint.kind == BusEndpoint::Kind::SocketCan) return std::make_unique<SocketCanTransport>(endpoint.ifname);
  return std::make_unique<SocketcandTransport>(endpoint.host, endpoint.port, endpoint.bus);
}

bool endpointAlive(const BusEndpoint& endpoint, int timeoutMs, const std::string& sysfsNetDir, std::string* why) {
  std::string reason;
  auto dead = [&](const std::string& text) {
    if (why) *why = text;
    return false;
  };
  if (endpoint.kind == BusEndpoint::Kind::Socketcand) {
    if (SocketcandTransport::probe(endpoint.host, endpoint.port, timeoutMs, reason)) return true;
    return dead(reason);
  }
  if (endpoint.ifname.empty() || hasBadChar(endpoint.ifname))
    return dead("\"" + endpoint.ifname + "\" is not a network interface name");
  // IFF_UP is bit 0 of the interface flags, written in hexadecimal.
  const std::string flags = readLine(fs::path(sysfsNetDir) / endpoint.ifname / "flags");
  if (flags.empty()) return dead("no network interface " + endpoint.ifname);
  char* end = nullptr;
  const unsigned long value = std::strtoul(flags.c_str(), &end, 16);
  if (end != flags.c_str() && (value & 0x1u) != 0) return true;
  return dead("interface " + endpoint.ifname + " is down");
}

void reportUnreachable(const BusEndpoint& endpoint, const std::string& reason) {
  if (endpoint.entry.empty()) return;
  reportOnce("unreachable " + endpoint.entry,
             "KESTRUM_BUS entry \"" + endpoint.entry + "\" does not answer: " + reason);
}

}  // namespace kestrum::transport
