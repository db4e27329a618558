#pragma once
// Firmware download through the controller's bootloader: the HEX input is
// read and checked completely before anything goes on the bus, then the
// packed image goes over block by block (object 0x3000 and data frames),
// each block verified by its checksum and status.
//
// Threads: one download at a time runs on the caller's thread (the
// application's worker); progress() and cancel() may be called from any
// other thread while it runs.

#include <cstdint>
#include <string>
#include <vector>

namespace varnex::firmware {

// Download geometry.
constexpr int kBlocks = 85;
constexpr int kChunks = 16;
constexpr int kFramesPerChunk = 24;
constexpr int kFramesPerBlock = kChunks * kFramesPerChunk;
constexpr std::size_t kBlockBytes = 0x600;
constexpr std::uint32_t kBlockAddressStep = 0x400;
constexpr int kAttemptsPerBlock = 3;
constexpr int kFailedAttemptsPerDownload = 15;
/// SDO time-out during a download: the controller answers the status read of
/// a block only when the block is in its flash.
constexpr double kDownloadTimeoutMs = 1000.0;

/// Results of the exported functions.
enum Result : int {
  kDone = 1,
  kNotInitialised = -1,
  kBootloaderNotStarted = -2,
  kDownloadFailed = -3,
  kLeaveFailed = -4,
  kBadInput = -5,
  kCancelled = -6,
};

/// Target address of block b (program-word address).
constexpr std::uint32_t blockAddress(int b) { return kBlockAddressStep * std::uint32_t(b); }
/// The block's checksum: its target address plus every frame's four image
/// bytes read as a little-endian number, modulo 2^32. Covers every byte sent.
std::uint32_t blockChecksum(const std::vector<std::uint8_t>& packed, int b);
/// Data frame k (0 to 383) of block b: frame number (16 bits, little-endian),
/// two zero bytes, four image bytes.
void dataFrame(const std::vector<std::uint8_t>& packed, int b, int k, std::uint8_t out[8]);

/// Download of a HEX file (`flash_firmware`): the library is initialised.
int flashFile(const char* path);
/// Download of HEX lines (`flash_firmware_parsed`): the library is initialised.
int flashLines(int count, const char* const* lines);

/// Asks the running download to stop at its next step; no effect when none runs.
void cancel();
/// Blocks of the running or last download that the controller took (0 to 85).
int progress();

}  // namespace varnex::firmware
