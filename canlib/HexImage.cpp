#include "HexImage.h"

#include <algorithm>

namespace varnex::hex {
namespace {

enum RecordType : std::uint8_t {
  kData = 0,
  kEndOfFile = 1,
  kSegmentAddress = 2,
  kStartSegment = 3,
  kLinearAddress = 4,
  kStartLinear = 5,
};

int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Fields after the colon: byte count, address (2), type, data, checksum.
constexpr std::size_t kFixedChars = 11;

}  // namespace

const char* describe(LineResult r) {
  switch (r) {
    case LineResult::Data: return "data record";
    case LineResult::Address: return "address record";
    case LineResult::Ignored: return "ignored";
    case LineResult::EndOfFile: return "end-of-file record";
    case LineResult::NoColon: return "not a HEX record (no ':' at the start)";
    case LineResult::BadDigit: return "a character that is not a hexadecimal digit";
    case LineResult::CutShort: return "record cut short";
    case LineResult::TooLong: return "characters after the checksum";
    case LineResult::BadChecksum: return "bad checksum";
    case LineResult::BadByteCount: return "wrong byte count for its record type";
    case LineResult::UnknownType: return "unknown record type";
    case LineResult::PastImage: return "data past the end of the firmware image (0x80000)";
    case LineResult::AfterEnd: return "record after the end-of-file record";
  }
  return "?";
}

HexReader::HexReader() : image_(kImageBytes, 0xFF) {}

LineResult HexReader::addLine(std::string_view line) {
  ++lineNo_;
  if (!error_.empty()) return LineResult::AfterEnd;  // the input is already refused
  const LineResult r = parse(line);
  if (isError(r)) error_ = "line " + std::to_string(lineNo_) + ": " + describe(r);
  return r;
}

LineResult HexReader::parse(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  if (line.empty()) return LineResult::Ignored;
  if (ended_) return LineResult::AfterEnd;
  if (line[0] != ':') return LineResult::NoColon;
  line.remove_prefix(1);
  for (char c : line)
    if (digit(c) < 0) return LineResult::BadDigit;
  if (line.size() < kFixedChars - 1) return LineResult::CutShort;
  auto byteAt = [&](std::size_t i) { return std::uint8_t(digit(line[2 * i]) << 4 | digit(line[2 * i + 1])); };
  const std::size_t n = byteAt(0);
  const std::size_t expected = kFixedChars - 1 + 2 * n;
  if (line.size() < expected) return LineResult::CutShort;
  if (line.size() > expected) return LineResult::TooLong;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < n + 5; ++i) sum = std::uint8_t(sum + byteAt(i));
  if (sum != 0) return LineResult::BadChecksum;

  const std::uint32_t address = std::uint32_t(byteAt(1)) << 8 | byteAt(2);
  const std::uint8_t type = byteAt(3);
  auto word = [&] { return std::uint32_t(byteAt(4)) << 8 | byteAt(5); };
  switch (type) {
    case kData: {
      const std::uint64_t start = std::uint64_t(base_) + address;
      if (start + n > kImageBytes) return LineResult::PastImage;
      for (std::size_t i = 0; i < n; ++i) image_[start + i] = byteAt(4 + i);
      if (n > 0 && start < kDownloadHexBytes) downloadData_ = true;
      return LineResult::Data;
    }
    case kEndOfFile:
      if (n != 0) return LineResult::BadByteCount;
      ended_ = true;
      return LineResult::EndOfFile;
    case kSegmentAddress:
      if (n != 2) return LineResult::BadByteCount;
      base_ = word() << 4;
      return LineResult::Address;
    case kLinearAddress:
      if (n != 2) return LineResult::BadByteCount;
      base_ = word() << 16;
      return LineResult::Address;
    case kStartSegment:
    case kStartLinear:
      // Where execution starts is the bootloader's business, not the image's.
      return n == 4 ? LineResult::Ignored : LineResult::BadByteCount;
    default: return LineResult::UnknownType;
  }
}

bool HexReader::finish() {
  if (!error_.empty()) return false;
  if (!ended_) error_ = "no end-of-file record (file cut short?)";
  else if (!downloadData_) error_ = "no data record for the program memory the controller receives";
  return error_.empty();
}

std::vector<std::uint8_t> pack(const std::vector<std::uint8_t>& hexImage) {
  std::vector<std::uint8_t> packed(kImageBytes, 0xFF);
  const std::size_t words = std::min(kPackedWords, hexImage.size() / 4);
  for (std::size_t i = 0; i < words; ++i) {
    packed[3 * i] = hexImage[4 * i + 2];
    packed[3 * i + 1] = hexImage[4 * i + 1];
    packed[3 * i + 2] = hexImage[4 * i];
  }
  return packed;
}

}  // namespace varnex::hex
