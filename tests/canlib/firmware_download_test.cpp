// Firmware download through the C interface: against the simulated
// controller's bootloader (image, version, faults, cancel, power loss) and
// against a scripted bootloader for the block status rules.
#include <dlfcn.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <mutex>
#include <thread>

#include "HexImage.h"
#include "VarnexTestSupport.h"
#include "node/Bootloader.h"
#include "node/NodeHost.h"

namespace varnex_test {
namespace {

namespace fs = std::filesystem;
using kestrum::sim::Bootloader;
using kestrum::sim::Bytes;
using kestrum::sim::NodeHost;
using kestrum::sim::SimNode;
using kestrum::test::kWaitLimit;

constexpr std::uint8_t kNode = 7;
const char* const kImage = "Firmware/Firmware_V2.20.hex";  // data/Firmware, made by data/tools/gen_hex.py
constexpr std::size_t kDownloaded = 85 * 0x600;

std::vector<std::string> fileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// The packed bytes the controller must end up with.
Bytes expectedFlash(const std::string& path) {
  varnex::hex::HexReader reader;
  for (const auto& l : fileLines(path)) reader.addLine(l);
  EXPECT_TRUE(reader.finish()) << reader.error();
  Bytes packed = varnex::hex::pack(reader.image());
  packed.resize(kDownloaded);
  return packed;
}

std::vector<std::string> errorLines(const World& w) {
  std::ifstream in(w.stateDir + "/varnex/error.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// The library with the download's two thread-safe companions bound.
class FirmwareTest : public VarnexInterface {
 protected:
  void SetUp() override {
    VarnexInterface::SetUp();
    cancel = reinterpret_cast<PFN_flash_cancel>(dlsym(api.handle, "flash_cancel"));
    progress = reinterpret_cast<PFN_flash_progress>(dlsym(api.handle, "flash_progress"));
    ASSERT_TRUE(cancel && progress);
    std::remove((w.stateDir + "/varnex/error.txt").c_str());
  }
  /// Address writes (0x3000 sub 3) the node heard, in order, as block numbers.
  std::vector<int> blocksSent() {
    std::vector<int> blocks;
    for (const auto& f : recorder.allSeen())
      if (f.transmitted && f.id == 0x600 + kNode && f.data[1] == 0x00 && f.data[2] == 0x30 && f.data[3] == 3)
        blocks.push_back((f.data[4] | f.data[5] << 8 | f.data[6] << 16) / 0x400);
    return blocks;
  }
  bool leaveCommandSent() {
    for (const auto& f : recorder.allSeen())
      if (f.transmitted && f.id == 0x600 + kNode && f.data[3] == 1 && f.data[4] == 4) return true;
    return false;
  }

  PFN_flash_cancel cancel = nullptr;
  PFN_flash_progress progress = nullptr;
};

/// A simulated Mirelo on bus B with its bootloader, flash quick to write.
class SimulatedFirmwareTest : public FirmwareTest {
 protected:
  void SetUp() override {
    FirmwareTest::SetUp();
    stateDir = fs::temp_directory_path() / ("varnex-fw-" + std::to_string(::getpid()));
    fs::create_directories(stateDir);
    host = std::make_unique<NodeHost>(w.busB, ".", stateDir.string());
    std::string error;
    ASSERT_TRUE(host->addNode(kNode, "Mirelo", error)) << error;
    onBootloader([](Bootloader& b) { b.setFlashUsPerBlock(2000); });
    ASSERT_TRUE(openIxxat(kNode));
    api.setGetAllCallback(&Recorder::onAll);
  }
  void TearDown() override {
    FirmwareTest::TearDown();
    host.reset();
    fs::remove_all(stateDir);
  }
  void onBootloader(const std::function<void(Bootloader&)>& fn) {
    ASSERT_TRUE(host->withNode(kNode, [&](SimNode& n, std::uint64_t) { fn(*n.behaviour<Bootloader>()); }));
  }
  std::string version() {
    Bytes v;
    std::uint32_t abort = 0;
    EXPECT_TRUE(host->readObject(kNode, 0x100A, 0, v, abort)) << std::hex << abort;
    return {v.begin(), v.end()};
  }
  Bytes flash() {
    Bytes image;
    onBootloader([&](Bootloader& b) { image = b.flash(); });
    return image;
  }
  bool inBootloader() {
    bool running = false;
    onBootloader([&](Bootloader& b) { running = b.running(); });
    return running;
  }
  /// Runs the file download on a worker thread, as the application does.
  std::thread worker(int& result) {
    return std::thread([this, &result] { result = api.flash_firmware(kImage); });
  }
  /// The worker's download has taken `blocks` blocks (not the last download's count).
  bool progressReaches(int blocks) {
    return eventually([&] { return progress() < blocks; }, kWaitLimit) &&
           eventually([&] { return progress() >= blocks; }, kWaitLimit);
  }

  fs::path stateDir;
  std::unique_ptr<NodeHost> host;
};

TEST_F(SimulatedFirmwareTest, BothEntryPointsFlashTheImageAndTheNodeReportsItsVersion) {

  const std::vector<std::string> lines = fileLines(kImage);
  std::vector<const char*> pointers;
  for (const auto& l : lines) pointers.push_back(l.c_str());
  struct Variant {
    const char* what;
    std::function<int()> flash;
  } variants[] = {
      {"file", [&] { return api.flash_firmware(kImage); }},
      {"lines", [&] { return api.flash_firmware_parsed(int(pointers.size()), pointers.data()); }},
  };
  const Bytes expected = expectedFlash(kImage);
  for (const auto& v : variants) {
    SCOPED_TRACE(v.what);
    std::uint32_t abort = 0;
    ASSERT_TRUE(host->writeObject(kNode, 0x100A, 0, Bytes{'V', '0'}, abort));
    api.set_timeout(100);
    EXPECT_EQ(v.flash(), 1);
    EXPECT_EQ(progress(), 85);
    EXPECT_DOUBLE_EQ(api.get_timeout(), 100.0) << "the download's time-out is undone";
    ASSERT_TRUE(eventually([&] { return !inBootloader(); }, kWaitLimit));
    EXPECT_EQ(version(), "V2.20");
    EXPECT_TRUE(flash() == expected) << "the flash holds the file's image";
    const std::vector<int> blocks = blocksSent();
    ASSERT_EQ(blocks.size(), 85u);
    for (int b = 0; b < 85; ++b) ASSERT_EQ(blocks[std::size_t(b)], b);
    Recorder::instance().clear();
  }
  EXPECT_TRUE(errorLines(w).empty());
}

TEST_F(SimulatedFirmwareTest, BadFilesAreRefusedBeforeAnyBusTraffic) {
  const fs::path dir = stateDir / "files";
  fs::create_directories(dir);
  auto file = [&](const char* name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return (dir / name).string();
  };
  const std::string good = ":0400000012345678E8\n";
  struct Case {
    std::string path;
    const char* reason;  // part of the error file's line
  } cases[] = {
      {(dir / "missing.hex").string(), "cannot open"},
      {dir.string(), "cannot read"},
      {file("empty.hex", ""), "cannot read"},
      {file("text.hex", "firmware version 2\n"), "line 1: not a HEX record"},
      {file("checksum.hex", good + ":0400100012345678E9\n:00000001FF\n"), "line 2: bad checksum"},
      {file("type.hex", good + ":00000007F9\n:00000001FF\n"), "line 2: unknown record type"},
      {file("past.hex", good + ":020000040008F2\n:0400000012345678E8\n:00000001FF\n"), "line 3: data past the end"},
      {file("short.hex", good + ":04001000123456\n:00000001FF\n"), "line 2: record cut short"},
      {file("noend.hex", good), "no end-of-file record"},
      {file("long.hex", std::string(5000, '0')), "too long"},
  };
  for (const auto& c : cases) {
    std::remove((w.stateDir + "/varnex/error.txt").c_str());
    EXPECT_EQ(api.flash_firmware(c.path.c_str()), -5) << c.path;
    const auto lines = errorLines(w);
    ASSERT_EQ(lines.size(), 1u) << c.path;
    EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
  }
  const char* badLines[] = {":0400000012345678E8", ":0400100012345678E9", ":00000001FF"};
  EXPECT_EQ(api.flash_firmware_parsed(3, badLines), -5);
  EXPECT_EQ(api.flash_firmware_parsed(0, nullptr), -5) << "no lines, no image";
  EXPECT_TRUE(recorder.allSeen().empty()) << "nothing went on the bus";
  EXPECT_FALSE(inBootloader());
  EXPECT_EQ(version(), "V2.14") << "the factory firmware runs on";
}

TEST_F(SimulatedFirmwareTest, ASpoiledDataFrameMakesItsBlockGoAgain) {
  const Bytes expected = expectedFlash(kImage);
  struct Case {
    const char* what;
    Bootloader::DataFault fault;
  } cases[] = {{"lost frame", Bootloader::DataFault::Drop}, {"corrupted frame", Bootloader::DataFault::Corrupt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder::instance().clear();
    std::remove((w.stateDir + "/varnex/error.txt").c_str());
    // Frame 10 of block 2: 2 * 384 + 11th frame.
    onBootloader([&](Bootloader& b) { b.injectDataFault(c.fault, 2 * 384 + 11); });
    EXPECT_EQ(api.flash_firmware(kImage), 1);
    const std::vector<int> blocks = blocksSent();
    ASSERT_EQ(blocks.size(), 86u);
    EXPECT_EQ(blocks[2], 2);
    EXPECT_EQ(blocks[3], 2) << "block 2 sent again";
    EXPECT_TRUE(flash() == expected);
    EXPECT_EQ(version(), "V2.20");
    const auto lines = errorLines(w);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("block 2 attempt 1 failed: status 2"), std::string::npos) << lines[0];
  }
}

TEST_F(SimulatedFirmwareTest, ACancelledDownloadLeavesTheNodeInItsBootloaderForTheNextOne) {
  onBootloader([](Bootloader& b) { b.setFlashUsPerBlock(20000); });
  int result = 0;
  std::thread run = worker(result);
  const bool reached = progressReaches(10);
  cancel();
  run.join();
  ASSERT_TRUE(reached);
  EXPECT_EQ(result, -6);
  EXPECT_LT(progress(), 85);
  EXPECT_TRUE(inBootloader());
  EXPECT_FALSE(leaveCommandSent());
  cancel();  // with no download running: no effect on the next one

  EXPECT_EQ(api.flash_firmware(kImage), 1);
  EXPECT_EQ(version(), "V2.20");
  EXPECT_TRUE(flash() == expectedFlash(kImage));
}

TEST_F(SimulatedFirmwareTest, PowerLossMidDownloadFailsCleanlyAndTheNextDownloadRecovers) {
  onBootloader([](Bootloader& b) { b.setFlashUsPerBlock(20000); });
  int result = 0;
  std::thread run = worker(result);
  const bool reached = progressReaches(10);
  host->setPowered(kNode, false);
  std::this_thread::sleep_for(100ms);
  host->setPowered(kNode, true);
  run.join();
  ASSERT_TRUE(reached);
  EXPECT_EQ(result, -3);
  EXPECT_FALSE(leaveCommandSent()) << "an image missing its first blocks is never made the firmware";
  EXPECT_TRUE(inBootloader()) << "half an image: the node stays in its bootloader";
  const auto lines = errorLines(w);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("the node restarted"), std::string::npos) << lines.back();

  host->powerCycle(kNode);
  EXPECT_TRUE(inBootloader()) << "and after another power cycle";
  EXPECT_EQ(api.flash_firmware(kImage), 1);
  EXPECT_EQ(version(), "V2.20");
  EXPECT_TRUE(flash() == expectedFlash(kImage));
}

// A bootloader on bus B that takes every write and answers the status read of
// each block as `status` says for the block and its attempt (1, 2, ...);
// nullopt leaves the read unanswered.
struct ScriptedBootloader {
  std::function<std::optional<std::uint8_t>(int block, int attempt)> status;
  bool refuseProgram = false;  ///< abort the program command of block 5
  int slowStatusMs = 0;         ///< the status of block 0 comes this late on its first attempt
  std::array<std::atomic<int>, 85> programs{};
  std::atomic<int> block{0};
  std::mutex lateMutex;
  std::vector<std::thread> late;  ///< answers on their way; joined by the test

  void joinLate() {
    std::lock_guard<std::mutex> lock(lateMutex);
    for (auto& t : late) t.join();
    late.clear();
  }

  void operator()(const CanFrame& f, Node& n) {
    if (f.id == 0x000 && f.data[0] == 0x81) n.send(0x700 + kNode, {0x00});
    if (f.id != 0x600u + kNode || f.data[1] != 0x00 || f.data[2] != 0x30) return;
    const std::uint8_t sub = f.data[3];
    const std::uint32_t value = std::uint32_t(f.data[4] | f.data[5] << 8 | f.data[6] << 16 | f.data[7] << 24);
    if (f.data[0] == 0x40) {
      if (sub != 2) return;
      const int b = block;
      const auto s = status(b, programs[std::size_t(b)]);
      if (!s) return;
      if (b == 0 && programs[0] == 1 && slowStatusMs > 0) {  // the rule runs on the bus thread: it must not wait there
        const auto delay = std::chrono::milliseconds(slowStatusMs);
        std::lock_guard<std::mutex> lock(lateMutex);
        late.emplace_back([&n, delay, value = *s] {
          std::this_thread::sleep_for(delay);
          n.send(0x580 + kNode, {0x4F, 0x00, 0x30, 2, value, 0, 0, 0});
        });
        return;
      }
      n.send(0x580 + kNode, {0x4F, 0x00, 0x30, 2, *s, 0, 0, 0});
      return;
    }
    if (sub == 3 && value / 0x400 < 85) block = int(value / 0x400);
    if (sub == 1 && value == 1) {
      ++programs[std::size_t(block.load())];
      if (refuseProgram && block == 5) {
        n.send(0x580 + kNode, {0x80, 0x00, 0x30, 1, 0x22, 0x00, 0x00, 0x08});
        return;
      }
    }
    n.send(0x580 + kNode, {0x60, 0x00, 0x30, sub, 0, 0, 0, 0});
    if (sub == 1 && value == 4) n.send(0x700 + kNode, {0x00});  // starts the new firmware
  }
};

TEST_F(FirmwareTest, OnlyAcceptedStatusValuesCountAndFailuresAreLimited) {
  using Status = std::optional<std::uint8_t>;
  struct Case {
    const char* what;
    std::function<Status(int, int)> status;
    bool refuseProgram;
    int result;
    std::vector<std::pair<int, int>> programsOf;  // block, program commands it got
    int progress;
  } cases[] = {
      {"every accepted value", [](int b, int) { return Status(std::array<int, 6>{1, 5, 6, 7, 8, 201}[b % 6]); },
       false, 1, {{0, 1}, {84, 1}}, 85},
      {"status 2 three times", [](int, int) { return Status(2); }, false, -3, {{0, 3}, {1, 0}}, 0},
      {"status 0 (busy) until the time-out", [](int b, int) { return Status(b == 1 ? 0 : 1); }, false, -3,
       {{1, 3}, {2, 0}}, 1},
      {"status read unanswered", [](int b, int) { return b == 3 ? Status() : Status(1); }, false, -3,
       {{2, 1}, {3, 3}, {4, 0}}, 3},
      // Each refused command is itself asked three times (the SDO client's attempts).
      {"program command refused", [](int, int) { return Status(1); }, true, -3, {{5, 9}, {6, 0}}, 5},
      {"15 failures in all", [](int, int attempt) { return Status(attempt == 1 ? 3 : 1); }, false, -3,
       {{0, 2}, {13, 2}, {14, 1}, {15, 0}}, 14},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder::instance().clear();
    auto script = std::make_shared<ScriptedBootloader>();
    script->status = c.status;
    script->refuseProgram = c.refuseProgram;
    Node node(w.busB, [script](const CanFrame& f, Node& n) { (*script)(f, n); });
    ASSERT_TRUE(openIxxat(kNode));
    api.setGetAllCallback(&Recorder::onAll);
    EXPECT_EQ(api.flash_firmware(kImage), c.result);
    for (const auto& [b, count] : c.programsOf) EXPECT_EQ(script->programs[std::size_t(b)], count) << "block " << b;
    EXPECT_EQ(progress(), c.progress);
    EXPECT_EQ(leaveCommandSent(), c.result == 1);
    api.setGetAllCallback(nullptr);
    api.terminate_can();
  }
}

TEST_F(FirmwareTest, TheLinesVariantWaitsForASlowStatusAsLongAsTheFileVariant) {
  const std::vector<std::string> lines = fileLines(kImage);
  std::vector<const char*> pointers;
  for (const auto& l : lines) pointers.push_back(l.c_str());
  auto script = std::make_shared<ScriptedBootloader>();
  script->status = [](int, int) { return std::optional<std::uint8_t>(1); };
  script->slowStatusMs = 500;  // past the 100 ms the application leaves set, within the download's 1000 ms
  Node node(w.busB, [script](const CanFrame& f, Node& n) { (*script)(f, n); });
  ASSERT_TRUE(openIxxat(kNode));
  api.set_timeout(100);
  EXPECT_EQ(api.flash_firmware_parsed(int(pointers.size()), pointers.data()), 1);
  script->joinLate();
  EXPECT_EQ(script->programs[0], 1) << "block 0 taken on its first attempt";
  EXPECT_DOUBLE_EQ(api.get_timeout(), 100.0);
}

}  // namespace
}  // namespace varnex_test

