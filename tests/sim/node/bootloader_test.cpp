// The bootloader of a simulated node: entering it after a reset, programming
// an image block by block as the host sends it, and the image surviving power.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "NodeFixture.h"
#include "canopen/Orvane.h"
#include "node/Bootloader.h"

namespace kestrum::sim::test {
namespace {

namespace fs = std::filesystem;
namespace boot = canopen::orvane::bootloader;

constexpr std::uint16_t kBoot = boot::kObject;
constexpr std::size_t kBlock = Bootloader::kBlockBytes;

/// An image of `blocks` blocks with the version marker in its second half.
std::vector<std::uint8_t> makeImage(int blocks, const std::string& version) {
  std::vector<std::uint8_t> image(kBlock * std::size_t(blocks));
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t(i * 7 + 3);
  const std::string marker = "KVER:" + version;
  std::copy(marker.begin(), marker.end(), image.end() - 200);
  *(image.end() - 200 + long(marker.size())) = 0;
  return image;
}

class BootloaderTest : public NodeFixture {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kestrum-boot-test-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    build("");
  }
  void TearDown() override { fs::remove_all(dir); }

  /// A node with its bootloader, switched on (a new process when called again).
  void build(const std::string& statePath) {
    std::string error;
    node = SimNode::fromEds({kId, "Testo", statePath}, testEds(), error);
    ASSERT_TRUE(node) << error;
    node->setSink([this](const CanFrame& f) { out.push_back(f); });
    node->addBehaviour(std::make_unique<Bootloader>(Bootloader::imagePathFor(statePath)));
    node->setPowered(true, now);
  }

  /// What the host does: reset node, wait, "stay".
  std::uint32_t enter() {
    nmt(0x81);
    advanceMs(250);
    return download(kBoot, boot::kSubCommand, boot::kStay, 1);
  }
  bool probeAnswered() {
    bool aborted = true;
    upload(kBoot, boot::kSubProbe, &aborted);
    return !aborted;
  }

  /// Sends block `b` of the image and programs it; the status the node ends
  /// with. `corruptChecksum` sends a wrong checksum, `drop` leaves out that frame.
  std::uint32_t sendBlock(const std::vector<std::uint8_t>& image, int b, bool corruptChecksum = false,
                          int drop = -1) {
    const std::uint32_t address = 0x400u * std::uint32_t(b);
    EXPECT_EQ(download(kBoot, boot::kSubAddress, address), 0u);
    std::uint32_t sum = address;
    for (int c = 0; c < 16; ++c) {
      EXPECT_EQ(download(kBoot, boot::kSubChunk, std::uint32_t(c), 1), 0u);
      for (int k = 0; k < 24; ++k) {
        const int n = 24 * c + k;
        const std::uint8_t* p = image.data() + std::size_t(b) * kBlock + std::size_t(n) * 4;
        sum += std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
        out.clear();
        if (n != drop) send(boot::kDataCobId, {std::uint8_t(n), std::uint8_t(n >> 8), 0, 0, p[0], p[1], p[2], p[3]});
        EXPECT_TRUE(out.empty()) << "data frames are not answered";
      }
    }
    EXPECT_EQ(download(kBoot, boot::kSubChecksum, corruptChecksum ? sum + 1 : sum), 0u);
    EXPECT_EQ(download(kBoot, boot::kSubCommand, boot::kProgramBlock), 0u);
    std::uint32_t status = 0;
    for (int poll = 0; poll < 50 && status == 0; ++poll) {
      status = upload(kBoot, boot::kSubStatus);
      if (status == 0) advanceMs(5);
    }
    return status;
  }
  void sendImage(const std::vector<std::uint8_t>& image) {
    ASSERT_EQ(download(kBoot, boot::kSubDataCobId, boot::kDataCobId), 0u);
    for (int b = 0; b < int(image.size() / kBlock); ++b) ASSERT_EQ(sendBlock(image, b), 1u) << "block " << b;
  }

  /// Command 4 or 5: true when acknowledged and followed by a boot-up.
  bool leave(std::uint8_t command = boot::kLeave) {
    out.clear();
    send(0x600 + kId, {0x2F, 0x00, 0x30, boot::kSubCommand, command, 0, 0, 0});
    return out.size() == 2 && out[0].id == 0x580u + kId && out[0].data[0] == 0x60 && out[1].id == 0x700u + kId &&
           out[1].dlc == 1 && out[1].data[0] == 0;
  }
  std::string version() const {
    Bytes v;
    EXPECT_EQ(node->readObject(0x100A, 0, v), 0u);
    return {v.begin(), v.end()};
  }
  std::string statePath() const { return (dir / "node5.state").string(); }

  fs::path dir;
};

TEST_F(BootloaderTest, StayIsHeardOnlyInTheWindowAfterAReset) {
  EXPECT_FALSE(probeAnswered()) << "the firmware has no probe";
  EXPECT_EQ(upload(kBoot, boot::kSubProbe), sdo_abort::kNoObject);

  nmt(0x81);
  advanceMs(1100);
  EXPECT_EQ(download(kBoot, boot::kSubCommand, boot::kStay, 1), sdo_abort::kNoObject) << "window over";
  EXPECT_FALSE(probeAnswered());

  nmt(0x81);
  advanceMs(250);
  EXPECT_FALSE(probeAnswered()) << "before stay, the window is not the bootloader";
  ASSERT_EQ(download(kBoot, boot::kSubCommand, boot::kStay, 1), 0u);
  EXPECT_TRUE(probeAnswered());
  advanceMs(5000);
  EXPECT_TRUE(probeAnswered()) << "stays until told to leave";
  out.clear();
  send(0x600 + kId, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
  EXPECT_TRUE(out.empty()) << "the firmware's objects are not there while the bootloader runs";
  EXPECT_EQ(download(kBoot, boot::kSubCommand, 9, 1), sdo_abort::kRange);
  EXPECT_EQ(download(kBoot, boot::kSubStatus, 1, 1), sdo_abort::kReadOnly);

  ASSERT_TRUE(leave(boot::kRecover)) << "the factory firmware is valid";
  EXPECT_FALSE(probeAnswered());
  EXPECT_EQ(version(), "V1.23");

  node->powerCycle(now);  // power-on opens the window too
  advanceMs(900);
  EXPECT_EQ(download(kBoot, boot::kSubCommand, boot::kStay, 1), 0u);
  EXPECT_TRUE(probeAnswered());
}

TEST_F(BootloaderTest, DownloadedImageRunsAfterLeavingAndAfterPowerCycles) {
  build(statePath());
  const auto image = makeImage(2, "V2.0-sim");
  ASSERT_EQ(enter(), 0u);
  ASSERT_EQ(download(kBoot, boot::kSubDataCobId, boot::kDataCobId), 0u);
  ASSERT_EQ(sendBlock(image, 0), 1u);

  // While block 1 is written, the status reads busy and the flash takes nothing else.
  ASSERT_EQ(download(kBoot, boot::kSubAddress, 0x400), 0u);
  for (int n = 0; n < 384; ++n) {
    const std::uint8_t* p = image.data() + kBlock + std::size_t(n) * 4;
    send(boot::kDataCobId, {std::uint8_t(n), std::uint8_t(n >> 8), 0, 0, p[0], p[1], p[2], p[3]});
    if (n % 24 == 23 && n < 383) {
      ASSERT_EQ(download(kBoot, boot::kSubChunk, std::uint32_t(n / 24 + 1), 1), 0u);
    }
  }
  std::uint32_t sum = 0x400;
  for (int n = 0; n < 384; ++n) {
    const std::uint8_t* p = image.data() + kBlock + std::size_t(n) * 4;
    sum += std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
  }
  ASSERT_EQ(download(kBoot, boot::kSubChecksum, sum), 0u);
  ASSERT_EQ(download(kBoot, boot::kSubCommand, boot::kProgramBlock), 0u);
  EXPECT_EQ(upload(kBoot, boot::kSubStatus), 0u);
  EXPECT_EQ(download(kBoot, boot::kSubAddress, 0x800), sdo_abort::kDeviceState);
  EXPECT_EQ(download(kBoot, boot::kSubCommand, boot::kLeave, 1), sdo_abort::kDeviceState);
  advanceMs(20);
  EXPECT_EQ(upload(kBoot, boot::kSubStatus), 1u);

  ASSERT_TRUE(leave());
  EXPECT_EQ(version(), "V2.0-sim");
  EXPECT_FALSE(probeAnswered());

  node->powerCycle(now);
  advanceMs(1100);
  EXPECT_EQ(version(), "V2.0-sim");
  EXPECT_FALSE(probeAnswered());

  build(statePath());  // a new process with the same files
  EXPECT_EQ(version(), "V2.0-sim");
  ASSERT_EQ(enter(), 0u);
  EXPECT_TRUE(leave(boot::kRecover)) << "a complete image can be started without a download";
  EXPECT_EQ(version(), "V2.0-sim");
}

TEST_F(BootloaderTest, BadBlocksReportAnErrorAndAreTakenWhenSentAgain) {
  const auto image = makeImage(2, "V3");
  ASSERT_EQ(enter(), 0u);
  ASSERT_EQ(download(kBoot, boot::kSubDataCobId, boot::kDataCobId), 0u);
  EXPECT_EQ(sendBlock(image, 0, true), 2u) << "wrong checksum";
  EXPECT_EQ(sendBlock(image, 0), 1u);
  EXPECT_EQ(sendBlock(image, 1, false, 200), 2u) << "a frame lost";
  EXPECT_EQ(sendBlock(image, 1, false, 0), 2u) << "the first frame lost";
  EXPECT_EQ(sendBlock(image, 1), 1u);

  // A frame that comes late, after the next chunk was announced, is out of
  // place: the block stays short of it.
  ASSERT_EQ(download(kBoot, boot::kSubAddress, 0x400), 0u);
  std::uint32_t sum = 0x400;
  auto data = [&](int n) {
    const std::uint8_t* p = image.data() + kBlock + std::size_t(n) * 4;
    send(boot::kDataCobId, {std::uint8_t(n), std::uint8_t(n >> 8), 0, 0, p[0], p[1], p[2], p[3]});
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
  };
  for (int c = 0; c < 16; ++c) {
    ASSERT_EQ(download(kBoot, boot::kSubChunk, std::uint32_t(c), 1), 0u);
    if (c == 1) sum += data(5);
    for (int k = 0; k < 24; ++k) {
      if (24 * c + k != 5) sum += data(24 * c + k);
    }
  }
  ASSERT_EQ(download(kBoot, boot::kSubChecksum, sum), 0u);
  ASSERT_EQ(download(kBoot, boot::kSubCommand, boot::kProgramBlock), 0u);
  advanceMs(50);
  EXPECT_EQ(upload(kBoot, boot::kSubStatus), 2u);

  ASSERT_TRUE(leave());
  EXPECT_EQ(version(), "V3") << "refused blocks left the image whole";
}

TEST_F(BootloaderTest, PowerLossMidDownloadComesBackInTheBootloader) {
  const auto image = makeImage(2, "V4.1");
  for (const bool withFile : {false, true}) {
    SCOPED_TRACE(withFile ? "image in a file" : "image in memory");
    build(withFile ? statePath() : "");
    ASSERT_EQ(enter(), 0u);
    ASSERT_EQ(download(kBoot, boot::kSubDataCobId, boot::kDataCobId), 0u);
    ASSERT_EQ(sendBlock(image, 0), 1u);

    if (withFile) build(statePath());  // the process ends with the power
    else node->powerCycle(now);
    advanceMs(3000);
    EXPECT_TRUE(probeAnswered()) << "no firmware to start";
    EXPECT_EQ(download(kBoot, boot::kSubCommand, boot::kLeave, 1), sdo_abort::kDeviceState);
    EXPECT_EQ(download(kBoot, boot::kSubCommand, boot::kRecover, 1), sdo_abort::kDeviceState);
    nmt(0x81);
    advanceMs(3000);
    EXPECT_TRUE(probeAnswered()) << "a reset does not start it either";

    sendImage(image);
    ASSERT_TRUE(leave());
    EXPECT_EQ(version(), "V4.1");
    node->powerCycle(now);
    advanceMs(1100);
    EXPECT_FALSE(probeAnswered());
    EXPECT_EQ(version(), "V4.1");
  }
}

}  // namespace
}  // namespace kestrum::sim::test
