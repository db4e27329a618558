#pragma once
// The controllers' bootloader: the short window after a reset in which the
// host can keep it running, block-wise programming of the firmware image
// through object 0x3000 and data frames, and the image that survives power
// cycles and names the firmware version.
#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "SimNode.h"

namespace kestrum::sim {

/// The bootloader of a simulated controller, as a NodeBehaviour.
///
/// After a power-on or an NMT reset node the bootloader listens for
/// `Options::windowUs`: a write of 3 ("stay") to 0x3000 sub 1 keeps it
/// running, otherwise the firmware starts (the node's dictionary serves as
/// the firmware). A node whose image is incomplete (a download was cut off)
/// stays in the bootloader without being asked. The bootloader answers the
/// requests to 0x3000 itself, whether or not the EDS lists the object, and
/// leaves requests for any other object unanswered; the firmware refuses an
/// upload of 0x3000 sub 0, the host's way to tell which of the two runs.
///
/// Programming: the image goes over in blocks of 0x600 bytes (packed program
/// words; target address 0x400 per block). For each block the host writes
/// the target address (sub 3), then per chunk 0..15 the chunk number (sub 4)
/// and 24 data frames: frame number within the block (16 bits, little-
/// endian), two zero bytes, four image bytes. The checksum (sub 5) is the
/// target address plus the sum of all 384 four-byte groups, each read as a
/// little-endian 32-bit number, modulo 2^32. Command 1 (sub 1) programs the
/// block: the status (sub 2) reads 0 while the flash is written and then 1,
/// or 2 at once when frames are missing or the checksum does not match. A
/// host polls the status until it is not 0.
///
/// Leaving: command 4 marks the image just downloaded complete and starts
/// the firmware (boot-up); command 5 does the same without a download, and
/// only when the flash holds a complete image.
///
/// The image: the first block programmed in a session erases the flash and
/// marks the image incomplete until command 4. It is kept in a file (magic
/// "KIMG", one state byte: 1 incomplete, 2 complete, then the packed image)
/// or in memory when the path is empty. A node never flashed runs its
/// factory firmware, whose version is the EDS default of 0x100A. Otherwise
/// 0x100A reads the version text of the image: the bytes "KVER:" followed by
/// the text, ended by a zero byte (at most 64 characters).
class Bootloader : public NodeBehaviour {
 public:
  struct Options {
    std::uint64_t windowUs = 1000000;        ///< how long it listens for "stay" after a reset
    std::uint64_t flashUsPerBlock = 20000;  ///< time to write one block to the flash
  };

  static constexpr std::size_t kBlockBytes = 0x600;
  static constexpr std::uint32_t kBlockAddressStep = 0x400;
  static constexpr int kChunks = 16;
  static constexpr int kFramesPerChunk = 24;
  static constexpr int kFramesPerBlock = kChunks * kFramesPerChunk;
  static constexpr std::uint32_t kMaxBlocks = 1024;  ///< 1.5 MiB of flash
  static constexpr std::uint8_t kStatusBusy = 0;
  static constexpr std::uint8_t kStatusOk = 1;
  static constexpr std::uint8_t kStatusChecksumError = 2;
  static constexpr std::size_t kMaxVersionChars = 64;

  /// `imagePath`: where the image survives power cycles; empty = in memory.
  explicit Bootloader(std::string imagePath, Options options);
  explicit Bootloader(std::string imagePath) : Bootloader(std::move(imagePath), Options{}) {}

  /// The image file beside a node's state file; empty for a node without one.
  static std::string imagePathFor(const std::string& statePath);
  /// The version text an image carries, empty when it has none.
  static std::string versionOf(const std::vector<std::uint8_t>& image);

  bool receive(SimNode& node, const CanFrame& frame, std::uint64_t nowUs) override;
  std::uint64_t tick(SimNode& node, std::uint64_t nowUs) override;
  void reset(SimNode& node, ResetKind kind, std::uint64_t nowUs) override;

  /// How long writing one block to the flash takes from now on (a slow flash).
  void setFlashUsPerBlock(std::uint64_t us) { options_.flashUsPerBlock = us; }

  /// Whether the bootloader runs (rather than the firmware or the window).
  bool running() const { return mode_ == Mode::Bootloader; }

  /// What happens to a data frame on its way into the block buffer.
  enum class DataFault { Drop, Corrupt };
  /// The `nth` data frame the bootloader receives from now on (1 = the next)
  /// is lost, or stored with one bit flipped, as a frame that a disturbed bus
  /// or a receive overrun spoils. 0 clears a pending fault.
  void injectDataFault(DataFault fault, unsigned nth) {
    fault_ = fault;
    faultCountdown_ = nth;
  }

  /// The flash as programmed so far (packed bytes, block after block).
  const std::vector<std::uint8_t>& flash() const { return flash_; }

 private:
  enum class Mode { Window, Bootloader, Firmware };
  enum class ImageState : std::uint8_t { Factory = 0, Incomplete = 1, Complete = 2 };

  bool handleSdo(SimNode& node, const CanFrame& frame);
  void handleData(const CanFrame& frame);
  std::uint32_t write(std::uint8_t sub, std::uint32_t value, bool& leave);
  std::uint32_t read(std::uint8_t sub, std::uint32_t& value, int& size) const;
  std::uint32_t program();
  void settle(std::uint64_t nowUs);
  void startFirmware(SimNode& node);
  void showVersion(SimNode& node) const;
  void load();
  void save() const;
  static void answer(SimNode& node, std::uint8_t command, std::uint8_t sub, std::uint32_t value);

  std::string path_;
  Options options_;
  Mode mode_ = Mode::Firmware;
  std::uint64_t windowEndUs_ = 0;
  std::uint64_t nowUs_ = 0;
  bool loaded_ = false;
  bool starting_ = false;  ///< leaving the bootloader: the next reset starts the firmware

  // The flash.
  ImageState state_ = ImageState::Factory;
  std::vector<std::uint8_t> flash_;

  // The download in progress.
  bool session_ = false;  ///< a block was programmed since the bootloader started
  std::uint16_t dataCobId_ = canopen::orvane::bootloader::kDataCobId;
  bool addressSet_ = false;
  std::uint32_t address_ = 0;
  std::uint8_t chunk_ = 0;
  std::uint32_t checksum_ = 0;
  std::uint8_t status_ = kStatusBusy;
  std::vector<std::uint8_t> block_ = std::vector<std::uint8_t>(kBlockBytes, 0xFF);
  std::bitset<kFramesPerBlock> received_;
  bool programming_ = false;
  std::uint64_t programmedAtUs_ = 0;  ///< when the block being written is done

  DataFault fault_ = DataFault::Drop;
  unsigned faultCountdown_ = 0;  ///< data frames until the injected fault; 0 = none
};

}  // namespace kestrum::sim
