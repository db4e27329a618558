#include "VersionReader.h"

#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "VersionRecord.h"

namespace kestrum::version {
namespace {

// Reads `size` bytes at `offset`; false when the file is shorter.
bool readAt(std::ifstream& in, std::uint64_t offset, void* out, std::size_t size) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
  return static_cast<std::size_t>(in.gcount()) == size;
}

struct Section {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint32_t nameOffset = 0;
};

// The section table in a width-independent form; both ELF classes are
// accepted so a 32-bit build of a library can be inspected too.
template <typename Ehdr, typename Shdr>
bool readSections(std::ifstream& in, std::vector<Section>& sections, std::size_t& stringTable) {
  Ehdr header{};
  if (!readAt(in, 0, &header, sizeof header)) return false;
  if (header.e_shentsize != sizeof(Shdr) || header.e_shnum == 0 || header.e_shnum > 4096) return false;
  if (header.e_shstrndx >= header.e_shnum) return false;
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Shdr sh{};
    if (!readAt(in, header.e_shoff + std::uint64_t(i) * sizeof(Shdr), &sh, sizeof sh)) return false;
    sections.push_back({sh.sh_offset, sh.sh_size, sh.sh_name});
  }
  stringTable = header.e_shstrndx;
  return true;
}

}  // namespace

std::optional<std::string> readVersionRecord(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  unsigned char ident[EI_NIDENT] = {};
  if (!readAt(in, 0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return std::nullopt;

  std::vector<Section> sections;
  std::size_t stringIndex = 0;
  const bool ok = ident[EI_CLASS] == ELFCLASS64
                      ? readSections<Elf64_Ehdr, Elf64_Shdr>(in, sections, stringIndex)
                      : readSections<Elf32_Ehdr, Elf32_Shdr>(in, sections, stringIndex);
  if (!ok) return std::nullopt;

  const Section& names = sections[stringIndex];
  if (names.size > (1u << 20)) return std::nullopt;
  std::vector<char> nameTable(names.size + 1, '\0');
  if (!readAt(in, names.offset, nameTable.data(), names.size)) return std::nullopt;

  for (const Section& s : sections) {
    if (s.nameOffset >= names.size) continue;
    if (std::strcmp(&nameTable[s.nameOffset], KESTRUM_NOTE_SECTION) != 0) continue;
    if (s.size < 12 || s.size > 4096) return std::nullopt;
    std::vector<char> note(s.size);
    if (!readAt(in, s.offset, note.data(), note.size())) return std::nullopt;
    // Walk the notes of the section: namesz, descsz, type, name, desc (4-aligned).
    std::size_t pos = 0;
    while (pos + 12 <= note.size()) {
      std::uint32_t nameSize = 0, descSize = 0, type = 0;
      std::memcpy(&nameSize, &note[pos], 4);
      std::memcpy(&descSize, &note[pos + 4], 4);
      std::memcpy(&type, &note[pos + 8], 4);
      const std::size_t nameAt = pos + 12;
      const std::size_t descAt = nameAt + KESTRUM_VERSION_PAD4(std::size_t(nameSize));
      const std::size_t end = descAt + KESTRUM_VERSION_PAD4(std::size_t(descSize));
      if (end > note.size() || descAt > note.size()) break;
      if (type == KESTRUM_NOTE_TYPE_VERSION && nameSize == sizeof(KESTRUM_NOTE_OWNER) &&
          std::memcmp(&note[nameAt], KESTRUM_NOTE_OWNER, nameSize) == 0) {
        std::string text(&note[descAt], descSize);
        text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
        return text;
      }
      pos = end;
    }
  }
  return std::nullopt;
}

std::optional<std::array<unsigned, 4>> parseVersion(const std::string& text) {
  std::array<unsigned, 4> parts{0, 0, 0, 0};
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == ',' || text[i] == '.')) ++i;
    if (i == text.size()) break;
    if (text[i] < '0' || text[i] > '9' || count == 4) return std::nullopt;
    unsigned long value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + unsigned(text[i] - '0');
      if (value > 0xFFFF) return std::nullopt;
      ++i;
    }
    parts[count++] = static_cast<unsigned>(value);
  }
  if (count == 0) return std::nullopt;
  return parts;
}

std::string dottedVersion(const std::array<unsigned, 4>& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

}  // namespace kestrum::version
