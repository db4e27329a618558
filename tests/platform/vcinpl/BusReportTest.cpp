// KESTRUM_BUS entries that name no usable bus: both stand-ins in one process
// tell the user once per entry, on standard error and in the error file, and
// the good entries beside them work.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "PCANBasic.h"
#include "VciBinding.h"

namespace {

using kestrum::test::StandIn;
using kestrum::test::TestBus;
using kestrum::test::useBuses;
using kestrum::test::Vci;
namespace fs = std::filesystem;

std::string readAll(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Standard error of the code run in `body`, captured through a file.
template <class Body>
std::string stderrOf(const fs::path& file, Body body) {
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
  body();
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  return readAll(file);
}

TEST(BusReport, EachBadEntryIsReportedOnceByEitherStandInAndGoodEntriesWork) {
  const char* state = std::getenv("XDG_STATE_HOME");
  ASSERT_TRUE(state && *state) << "the test sets its own state folder";
  const fs::path errorFile = fs::path(state) / "varnex" / "error.txt";
  fs::remove(errorFile);

  TestBus good, second;
  const std::string deadEntry = [] {
    TestBus gone;
    gone.stop();
    return gone.entry();
  }();
  const struct {
    std::string entry;  // as written in KESTRUM_BUS
    std::string named;  // how the line names it
    std::string reason;
  } bad[] = {
      {"127.0.0.1:/can0", "entry 2 \"127.0.0.1:/can0\"", "port missing"},
      {"127.0.0.1:29x/can0", "entry 3 \"127.0.0.1:29x/can0\"", "bad port \"29x\""},
      {"127.0.0.1:0/can0", "entry 4 \"127.0.0.1:0/can0\"", "out of range"},
      {"tcp://127.0.0.1:29536/can0", "entry 5 \"tcp://127.0.0.1:29536/can0\"", "unknown scheme \"tcp:\""},
      {"", "entry 6 \"\"", "empty entry"},
      {deadEntry, "entry \"" + deadEntry + "\"", "Connection refused"},
  };
  std::string list = good.entry();
  for (const auto& b : bad) list += "," + b.entry;
  useBuses(list + "," + second.entry());

  static StandIn pcan("libpcanbasic.so");
  ASSERT_TRUE(pcan.loaded()) << pcan.error();
  auto initialize = pcan.bind<PFN_CAN_Initialize>("CAN_Initialize");
  auto uninitialize = pcan.bind<PFN_CAN_Uninitialize>("CAN_Uninitialize");
  ASSERT_TRUE(initialize && uninitialize);
  Vci vci;
  ASSERT_TRUE(vci.bind());

  std::vector<VCIDEVICEINFO> devices;
  const std::string printed = stderrOf(fs::path(state) / "stderr.txt", [&] {
    for (int pass = 0; pass < 2; ++pass) {
      HANDLE e = nullptr;
      ASSERT_EQ(vci.vciEnumDeviceOpen(&e), VCI_OK);
      devices.clear();
      VCIDEVICEINFO info;
      while (vci.vciEnumDeviceNext(e, &info) == VCI_OK) devices.push_back(info);
      vci.vciEnumDeviceClose(e);
      // USB channel 1 is the good entry, 2 the dead one, 3 the second good one.
      EXPECT_EQ(initialize(PCAN_USBBUS1, PCAN_BAUD_1M, 0, 0, 0), PCAN_ERROR_OK);
      EXPECT_EQ(initialize(PCAN_USBBUS2, PCAN_BAUD_1M, 0, 0, 0), PCAN_ERROR_ILLHW);
      EXPECT_EQ(initialize(PCAN_USBBUS3, PCAN_BAUD_1M, 0, 0, 0), PCAN_ERROR_OK);
      EXPECT_EQ(uninitialize(PCAN_NONEBUS), PCAN_ERROR_OK);
    }
  });
  const std::string written = readAll(errorFile);

  for (const auto& b : bad) {
    for (const auto& [where, text] : {std::pair{"standard error", printed}, std::pair{"error file", written}}) {
      std::size_t lines = 0;
      std::istringstream in(text);
      for (std::string line; std::getline(in, line);)
        if (line.find(b.named) != std::string::npos) {
          ++lines;
          EXPECT_NE(line.find(b.reason), std::string::npos) << where << ": " << line;
        }
      EXPECT_EQ(lines, 1u) << where << ", " << b.named << ":\n" << text;
    }
  }
  EXPECT_EQ(count(printed, "KESTRUM_BUS"), std::size(bad)) << printed;
  EXPECT_EQ(count(written, "KESTRUM_BUS"), std::size(bad)) << written;

  ASSERT_EQ(devices.size(), 2u);
  EXPECT_NE(std::string(devices[0].Description).find(good.entry()), std::string::npos);
  EXPECT_NE(std::string(devices[1].Description).find(second.entry()), std::string::npos);
  Vci::Line line;
  EXPECT_TRUE(vci.openLine(devices[1], CAN_BT0_1000KB, CAN_BT1_1000KB, line));
  vci.closeLine(line);
}

}  // namespace
