#pragma once
// Intel HEX firmware files of the controllers read into a memory image, and
// the image packed into the byte stream the bootloader programs. No I/O: the
// caller hands over the lines, so tests and the fuzz target feed it directly.
//
// The controllers' program memory consists of 24-bit words. A HEX file lays
// each word out as four bytes, least significant first, the fourth being a
// phantom 0x00; packing stores each word as three bytes, most significant
// first, and drops the phantom byte.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnex::hex {

/// Size of the image in HEX byte addresses (and of the packed image).
constexpr std::size_t kImageBytes = 0x80000;
/// Program words packed (words 0 to 0x1FFFE); the rest of the packed image is 0xFF.
constexpr std::size_t kPackedWords = 0x1FFFF;
/// Packed bytes the bootloader receives: 85 blocks of 0x600.
constexpr std::size_t kDownloadBytes = 85 * 0x600;
/// The HEX byte addresses whose content reaches the controller.
constexpr std::size_t kDownloadHexBytes = kDownloadBytes / 3 * 4;

/// What became of one line.
enum class LineResult {
  Data,          ///< a data record, stored
  Address,       ///< an extended segment or linear address record, now in force
  Ignored,       ///< a blank line or a start address record (types 3 and 5)
  EndOfFile,     ///< the end-of-file record
  NoColon,       ///< does not start with ':'
  BadDigit,      ///< a character that is not a hexadecimal digit
  CutShort,      ///< fewer characters than its byte count needs
  TooLong,       ///< characters after the checksum
  BadChecksum,   ///< the bytes do not sum to 0 modulo 256
  BadByteCount,  ///< a byte count its record type does not have
  UnknownType,   ///< a record type other than 0 to 5
  PastImage,     ///< data that would not fit into the image
  AfterEnd,      ///< a record after the end-of-file record
};

/// True for the results that leave the file unusable.
constexpr bool isError(LineResult r) {
  return r != LineResult::Data && r != LineResult::Address && r != LineResult::Ignored && r != LineResult::EndOfFile;
}

/// Short English reason for an error result ("bad checksum", ...).
const char* describe(LineResult r);

/// Reads HEX records, line by line, into a 0x80000-byte image filled with
/// 0xFF. Every reader starts at address 0: nothing carries over from an
/// earlier file. The first malformed line ends the reading: later lines are
/// refused and the image is not to be downloaded.
class HexReader {
 public:
  HexReader();

  /// One line, with or without its line break; a trailing carriage return
  /// and trailing blanks are ignored, as are empty lines.
  LineResult addLine(std::string_view line);

  /// After the last line: true when the input can be downloaded: no
  /// malformed line, an end-of-file record, and at least one data record
  /// inside the range the controller receives. Otherwise `error()` says why.
  bool finish();

  /// "line N: reason", or the reason for the input as a whole; empty while no fault was found.
  const std::string& error() const { return error_; }
  /// Lines seen so far (counting blank ones), for error texts.
  std::size_t lines() const { return lineNo_; }

  /// The image in HEX layout.
  const std::vector<std::uint8_t>& image() const { return image_; }

 private:
  LineResult parse(std::string_view line);

  std::vector<std::uint8_t> image_;
  std::uint32_t base_ = 0;  ///< extended segment or linear address in force
  bool ended_ = false;
  bool downloadData_ = false;
  std::size_t lineNo_ = 0;
  std::string error_;
};

/// The packed image: word i of `hexImage` (bytes 4i to 4i + 3) becomes bytes
/// 3i to 3i + 2 as upper, middle, low byte, for words 0 to kPackedWords - 1;
/// everything after them is 0xFF. The result has kImageBytes bytes.
std::vector<std::uint8_t> pack(const std::vector<std::uint8_t>& hexImage);

}  // namespace varnex::hex
