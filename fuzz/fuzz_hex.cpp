// The HEX reader takes firmware files the user picks: any input must end in
// an image ready to download or a refusal naming its reason, never in a crash,
// a hang, or a write outside the 0x80000-byte image.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "HexImage.h"

namespace hex = varnex::hex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  hex::HexReader reader;
  std::size_t lines = 0;
  bool refusedLine = false;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    ++lines;
    const hex::LineResult r = reader.addLine(line);
    // Only a line that starts with ':' (after nothing) can be taken as a record.
    if ((r == hex::LineResult::Data || r == hex::LineResult::Address || r == hex::LineResult::EndOfFile) &&
        (line.empty() || line[0] != ':'))
      std::abort();
    refusedLine = refusedLine || hex::isError(r);
    start = end + 1;
  }
  if (reader.lines() != lines || reader.image().size() != hex::kImageBytes) std::abort();
  const bool ok = reader.finish();
  if (ok != reader.error().empty()) std::abort();  // a refusal always says why, an acceptance never
  if (ok && refusedLine) std::abort();
  if (refusedLine && reader.error().rfind("line ", 0) != 0) std::abort();
  if (!ok) return 0;
  const auto packed = hex::pack(reader.image());
  const auto& image = reader.image();
  const std::size_t last = hex::kPackedWords - 1;
  if (packed.size() != hex::kImageBytes || packed[0] != image[2] || packed[2] != image[0] ||
      packed[3 * last] != image[4 * last + 2] || packed[3 * hex::kPackedWords] != 0xFF)
    std::abort();
  return 0;
}
