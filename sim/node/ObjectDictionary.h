#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrum::sim {

using Bytes = std::vector<std::uint8_t>;

/// Data-type codes of the project's EDS files.
enum DataTypeCode : int {
  kTypeBool = 1,
  kTypeS8 = 2,
  kTypeS16 = 3,
  kTypeS32 = 4,
  kTypeU8 = 5,
  kTypeU16 = 6,
  kTypeU32 = 7,
  kTypeArray = 8,
  kTypeString = 9,
};

/// Longest visible string an object holds; longer downloads are refused.
constexpr std::size_t kMaxStringBytes = 255;

/// Bytes a value of the type occupies; 0 for the variable-length string.
/// Unknown codes are handled as 32-bit values.
std::size_t dataTypeSize(int dataType);
bool dataTypeSigned(int dataType);

enum class Access { ReadOnly, WriteOnly, ReadWrite, Const };

/// Parses an EDS access text ("ro", "wo", "rw", "rww", "rwr", "const"), ignoring case.
/// Unknown texts read as read-only, the safe choice for a device.
Access parseAccess(const std::string& text);

/// One sub-object of the dictionary (a simple object is its own sub-index 0).
struct OdEntry {
  std::uint16_t index = 0;
  std::uint8_t subIndex = 0;
  std::string name;
  int dataType = kTypeU32;
  Access access = Access::ReadWrite;
  bool pdoMappable = false;
  Bytes defaultValue;
  Bytes value;
  std::optional<std::int64_t> lowLimit;
  std::optional<std::int64_t> highLimit;
  bool nodeIdRelative = false;  ///< the default is "$NODEID+..." and follows the node ID

  bool readable() const { return access != Access::WriteOnly; }
  bool writable() const { return access == Access::WriteOnly || access == Access::ReadWrite; }
  bool isString() const { return dataType == kTypeString; }
  /// Fixed size in bytes, 0 for a string.
  std::size_t size() const { return dataTypeSize(dataType); }
};

/// Little-endian encoding of a number in the width of a data type.
Bytes encodeNumber(int dataType, std::int64_t value);
/// The number a value holds, sign-extended for signed types (0 for strings).
std::int64_t decodeNumber(int dataType, const Bytes& value);

/// The object dictionary of one simulated node: typed values by index and
/// sub-index. Not thread-safe; its node owns it.
class ObjectDictionary {
 public:
  static std::uint32_t key(std::uint16_t index, std::uint8_t subIndex) {
    return (std::uint32_t(index) << 8) | subIndex;
  }

  /// Adds or replaces an entry.
  void insert(OdEntry entry);
  OdEntry* find(std::uint16_t index, std::uint8_t subIndex);
  const OdEntry* find(std::uint16_t index, std::uint8_t subIndex) const;
  /// True when any sub-index of the object exists.
  bool hasObject(std::uint16_t index) const;

  /// Numeric value of an entry; nullopt when it does not exist or is a string.
  std::optional<std::int64_t> number(std::uint16_t index, std::uint8_t subIndex) const;
  std::uint32_t u32(std::uint16_t index, std::uint8_t subIndex, std::uint32_t fallback = 0) const;
  /// Sets a numeric value without any access check; false when the entry is missing.
  bool setNumber(std::uint16_t index, std::uint8_t subIndex, std::int64_t value);

  /// Sets every value whose index satisfies `which` back to its default.
  void resetValues(const std::function<bool(std::uint16_t index)>& which);

  const std::map<std::uint32_t, OdEntry>& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }

 private:
  std::map<std::uint32_t, OdEntry> entries_;
};

/// Reads an EDS XML file (root element with "SDO" children, sub-objects in
/// "subnodes") into `od`. "$NODEID+" defaults get `nodeId` added, as a device
/// does. Optional "LowLimit"/"HighLimit" elements give value ranges.
/// Returns false with a message naming the file when it cannot be read.
bool loadEds(const std::string& path, std::uint8_t nodeId, ObjectDictionary& od, std::string& error);

/// Parses a number as EDS files write them: decimal (optionally negative),
/// "0x" hexadecimal, optionally preceded by "$NODEID+".
std::optional<std::int64_t> parseEdsNumber(const std::string& text, std::uint8_t nodeId);

}  // namespace kestrum::sim
