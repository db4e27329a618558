#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "FakeSocketcandServer.h"
#include "transport/BusInventory.h"
#include "transport/SocketCanTransport.h"
#include "transport/SocketcandTransport.h"

using namespace kestrum::transport;
namespace fs = std::filesystem;

namespace {

// A sysfs net class folder in a temporary directory.
class FakeSysfs {
 public:
  FakeSysfs() {
    root_ = fs::temp_directory_path() / ("kestrum-sysfs-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  ~FakeSysfs() { fs::remove_all(root_); }

  /// An interface with the given ARPHRD type, driver (empty: none) and flags.
  void add(const std::string& name, int type, const std::string& driver, const std::string& flags = "0x1") {
    const fs::path dir = root_ / name;
    fs::create_directories(dir / "device");
    std::ofstream(dir / "type") << type << "\n";
    std::ofstream(dir / "flags") << flags << "\n";
    if (!driver.empty()) fs::create_directory_symlink("../../../../bus/usb/drivers/" + driver, dir / "device" / "driver");
  }
  std::string path() const { return root_.string(); }

 private:
  fs::path root_;
};

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += x + "\n";
  return s;
}

}  // namespace

TEST(BusEntry, ParsesBothFormsAndRejectsBadOnesWithReason) {
  BusEndpoint ep;
  std::string error;
  ASSERT_TRUE(parseBusEntry(" 127.0.0.1:29536/can0 ", ep, error)) << error;
  EXPECT_EQ(ep.kind, BusEndpoint::Kind::Socketcand);
  EXPECT_EQ(ep.host, "127.0.0.1");
  EXPECT_EQ(ep.port, 29536);
  EXPECT_EQ(ep.bus, "can0");
  EXPECT_EQ(ep.key(), "127.0.0.1:29536/can0");

  ASSERT_TRUE(parseBusEntry("[::1]:1/vcan0", ep, error)) << error;
  EXPECT_EQ(ep.host, "::1");
  EXPECT_EQ(ep.key(), "[::1]:1/vcan0");

  ASSERT_TRUE(parseBusEntry("socketcan:vcan0", ep, error)) << error;
  EXPECT_EQ(ep.kind, BusEndpoint::Kind::SocketCan);
  EXPECT_EQ(ep.ifname, "vcan0");
  EXPECT_EQ(ep.key(), "socketcan:vcan0");

  const std::pair<const char*, const char*> bad[] = {
      {"", "empty"},
      {"localhost", "HOST:PORT/BUS"},
      {":29536/can0", "host missing"},
      {"host:/can0", "port missing"},
      {"host:0/can0", "out of range"},
      {"host:65536/can0", "out of range"},
      {"host:12ab/can0", "bad port"},
      {"host:-1/can0", "bad port"},
      {"host:29536", "bus name missing"},
      {"host:29536/", "bus name missing"},
      {"host:29536/can 0", "bad bus name"},
      {"host:29536/a>b", "bad bus name"},
      {"socketcan:", "interface name missing"},
      {"socketcan:averyveryverylongname", "not a network interface name"},
      {"socketcan:../x", "not a network interface name"},
      {"tcp://host:29536/can0", "unknown scheme \"tcp:\""},
      {"vcan:can0", "unknown scheme \"vcan:\""},
  };
  for (const auto& [text, why] : bad) {
    BusEndpoint untouched;
    untouched.host = "keep";
    EXPECT_FALSE(parseBusEntry(text, untouched, error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
    EXPECT_EQ(untouched.host, "keep");
  }
}

TEST(BusInventory, MapsInterfacesByDriverThenAppendsKestrumBusEntries) {
  FakeSysfs sys;
  sys.add("can10", 280, "peak_usb");
  sys.add("can2", 280, "peak_usb");     // natural order: can2 before can10
  sys.add("can3", 280, "peak_pciefd");
  sys.add("can4", 280, "peak_pci");
  sys.add("can5", 280, "ixx_usb");
  sys.add("can6", 280, "peak_pcmcia");
  sys.add("can7", 280, "ixxat_usb");    // the USB driver's newer generation
  sys.add("vcan0", 280, "");            // no driver link: only through KESTRUM_BUS
  sys.add("slcan0", 280, "slcan");      // another maker
  sys.add("eth0", 1, "e1000");          // not CAN at all

  const BusInventory inv =
      discoverBuses(sys.path(), "127.0.0.1:29536/can0, bogus ,,socketcan:vcan0,host:99999/can1");

  // Interfaces in name order, each numbered within its PCAN family; then the
  // KESTRUM_BUS entries on the next free USB channels.
  std::vector<std::pair<int, std::string>> got;
  for (const PeakChannel& ch : inv.peakChannels) got.emplace_back(ch.handle, ch.endpoint.key());
  const std::vector<std::pair<int, std::string>> expected = {
      {0x51, "socketcan:can2"}, {0x41, "socketcan:can3"}, {0x42, "socketcan:can4"},
      {0x61, "socketcan:can6"}, {0x52, "socketcan:can10"}, {0x53, "127.0.0.1:29536/can0"},
      {0x54, "socketcan:vcan0"}};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(inv.peakChannels[0].endpoint.driver, "peak_usb");

  ASSERT_EQ(inv.ixxatDevices.size(), 4u);
  EXPECT_EQ(inv.ixxatDevices[0].endpoint.ifname, "can5");
  EXPECT_EQ(inv.ixxatDevices[1].endpoint.ifname, "can7");
  EXPECT_EQ(inv.ixxatDevices[2].endpoint.key(), "127.0.0.1:29536/can0");
  EXPECT_EQ(inv.ixxatDevices[3].endpoint.key(), "socketcan:vcan0");
  EXPECT_FALSE(inv.ixxatDevices[1].description.empty());

  ASSERT_EQ(inv.warnings.size(), 2u) << joined(inv.warnings);
  EXPECT_NE(inv.warnings[0].find("bogus"), std::string::npos);
  EXPECT_NE(inv.warnings[1].find("99999"), std::string::npos);
}

TEST(BusInventory, NamesEveryEntryThatGivesNoBusWithItsPositionAndReason) {
  FakeSysfs sys;
  const struct {
    const char* env;
    std::vector<std::string> messages;  // what the user is told, in order
    std::size_t buses;                  // entries that still give a bus
  } cases[] = {
      {"h:1/can0,127.0.0.1/can0", {"KESTRUM_BUS entry 2 \"127.0.0.1/can0\" skipped: expected HOST:PORT/BUS"}, 1},
      {"h:1/can0, h:/can0 ", {"KESTRUM_BUS entry 2 \"h:/can0\" skipped: port missing"}, 1},
      {"h:x1/can0,h:1/can0", {"KESTRUM_BUS entry 1 \"h:x1/can0\" skipped: bad port \"x1\""}, 1},
      {"h:0/can0", {"KESTRUM_BUS entry 1 \"h:0/can0\" skipped: port 0 out of range"}, 0},
      {"udp://h:1/can0", {"KESTRUM_BUS entry 1 \"udp://h:1/can0\" skipped: unknown scheme \"udp:\""}, 0},
      {"h:1/can0,,h:2/can0", {"KESTRUM_BUS entry 2 \"\" skipped: empty entry"}, 2},
      {",h:1/can0, ,h:2/can0",
       {"KESTRUM_BUS entry 1 \"\" skipped: empty entry", "KESTRUM_BUS entry 3 \"\" skipped: empty entry"}, 2},
      {"h:1/can0,", {}, 1},  // a trailing comma adds no entry
      {"", {}, 0},
  };
  for (const auto& c : cases) {
    const BusInventory inv = discoverBuses(sys.path(), c.env);
    std::vector<std::string> messages;
    for (const BusEntryProblem& p : inv.problems) messages.push_back(p.message());
    ASSERT_EQ(messages.size(), c.messages.size()) << c.env << "\n" << joined(messages);
    for (std::size_t i = 0; i < messages.size(); ++i)
      EXPECT_EQ(messages[i].rfind(c.messages[i], 0), 0u) << c.env << ": " << messages[i];
    EXPECT_EQ(inv.ixxatDevices.size(), c.buses) << c.env;
    for (const IxxatDevice& d : inv.ixxatDevices) EXPECT_FALSE(d.endpoint.entry.empty()) << c.env;
  }
}

TEST(BusInventory, EntriesKeepTheirChannelsAndExtraEntriesWarn) {
  FakeSysfs sys;
  std::string env;
  for (int i = 0; i < 9; ++i) env += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(30000 + i) + "/can0";
  // Nothing listens on these ports: discovery must not depend on it.
  const BusInventory inv = discoverBuses(sys.path(), env.c_str());
  ASSERT_EQ(inv.peakChannels.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(inv.peakChannels[i].handle, 0x51 + i);
    EXPECT_EQ(inv.peakChannels[i].endpoint.port, 30000 + i);
  }
  EXPECT_EQ(inv.ixxatDevices.size(), 9u);  // IXXAT devices are not limited
  ASSERT_EQ(inv.warnings.size(), 1u) << joined(inv.warnings);
  EXPECT_NE(inv.warnings[0].find("no free PCAN USB channel"), std::string::npos);

  const BusInventory none = discoverBuses(sys.path() + "/missing", nullptr);
  EXPECT_TRUE(none.peakChannels.empty());
  EXPECT_TRUE(none.ixxatDevices.empty());
}

TEST(BusInventory, EndpointLivenessAndTransportKind) {
  FakeSocketcandServer server;
  BusEndpoint ep;
  std::string error;
  ASSERT_TRUE(parseBusEntry("127.0.0.1:" + std::to_string(server.port()) + "/can0", ep, error));
  EXPECT_TRUE(endpointAlive(ep, 1000));
  auto transport = makeTransport(ep);
  EXPECT_NE(dynamic_cast<SocketcandTransport*>(transport.get()), nullptr);
  EXPECT_EQ(transport->description(), ep.key());

  std::uint16_t freePort;
  { FakeSocketcandServer gone; freePort = gone.port(); }
  ep.port = freePort;
  EXPECT_FALSE(endpointAlive(ep, 300));

  FakeSysfs sys;
  sys.add("vcan0", 280, "", "0xc1");
  sys.add("vcan1", 280, "", "0x1c0");  // down
  ASSERT_TRUE(parseBusEntry("socketcan:vcan0", ep, error));
  EXPECT_TRUE(endpointAlive(ep, 100, sys.path()));
  EXPECT_NE(dynamic_cast<SocketCanTransport*>(makeTransport(ep).get()), nullptr);
  ep.ifname = "vcan1";
  EXPECT_FALSE(endpointAlive(ep, 100, sys.path()));
  ep.ifname = "vcan9";
  EXPECT_FALSE(endpointAlive(ep, 100, sys.path()));
}

TEST(BusInventory, EndpointThatDoesNotAnswerSaysWhy) {
  std::uint16_t freePort;
  { FakeSocketcandServer gone; freePort = gone.port(); }
  FakeSysfs sys;
  sys.add("vcan1", 280, "", "0x1c0");  // down
  const struct {
    std::string entry;
    const char* reason;
  } cases[] = {
      {"127.0.0.1:" + std::to_string(freePort) + "/can0", "Connection refused"},
      {"socketcan:vcan1", "interface vcan1 is down"},
      {"socketcan:vcan9", "no network interface vcan9"},
  };
  for (const auto& c : cases) {
    BusEndpoint ep;
    std::string error, why;
    ASSERT_TRUE(parseBusEntry(c.entry, ep, error)) << error;
    EXPECT_FALSE(endpointAlive(ep, 300, sys.path(), &why)) << c.entry;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.entry << ": " << why;
  }
}
