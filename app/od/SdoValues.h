#pragma once
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

/// The rules by which the SDO list turns value texts into transfers and back,
/// decides what "Save All" writes, and reads and writes list files. Plain
/// Qt Core, so the window's list and the command-line program share one set
/// of rules and a value means the same whichever way it was obtained.
namespace sdovalues {

/// Transfer size (1, 2 or 4 bytes, the connector's TYPE_U8/U16/U32) of a data
/// type's short name ("u16"); 0 for types without a numeric transfer.
std::uint8_t transferSize(const QString& type);

/// The decimal text of a value read, by the object's type: "bool" and "u8"
/// unsigned 8-bit, "s8" signed 8-bit, "u16"/"s16" 16-bit, "u32"/"s32" 32-bit.
QString formatRead(const QString& type, std::int32_t value);

/// A value text converted for a download.
struct Encoded {
  std::int32_t value = 0;
  std::uint8_t size = 0;  ///< 1, 2 or 4
};

/// Converts a value text for a download the way the SDO list sends it: 8 and
/// 16-bit types keep their low bits, 32-bit texts keep their bit pattern,
/// "bool" takes 0 or 1 only. Throws ConversionError for a text that is not a
/// number (or a "bool" other than 0 and 1); nothing for a type without a
/// numeric transfer.
std::optional<Encoded> encodeWrite(const QString& type, const QString& text);

/// Why a text is not a value of the type, or empty when it is one: unlike
/// encodeWrite, which cuts a number to the type's width, a value beyond the
/// type's range is refused here ("300 is out of range for u8 (0 to 255)").
QString rangeProblem(const QString& type, const QString& text);

/// What "Save All" does with one writable row.
enum class SaveAllRule {
  Write,      ///< the value goes to the node
  SkipPdo,    ///< a PDO communication or mapping object (0x1400 to 0x1A03): marked "SKIPPED"
  SkipSilent  ///< 0x6040, and 0x1010/0x1011 without their signatures: left out without a message
};
/// The rule for object `index` holding the value text `value`.
SaveAllRule saveAllRule(std::int32_t index, const QString& value);

/// One line of a list file: ID, subindex, value and description, separated
/// by a tab and "|", ending in CR LF.
QByteArray listFileLine(const QString& id, const QString& subindex, const QString& value,
                        const QString& description);

/// One line of a list file as read: the ID without "0x", the subindex and
/// value texts (unconverted), and the line's number in the file (from 1).
struct ListFileEntry {
  QString id;
  QString subindex;
  QString value;
  int line = 0;
};
/// The lines of a list file (CR LF or LF) that name an ID, a subindex and a
/// value. A first line starting with "ID" (any case) is a title line; the
/// lines after it carry five fields, of which the third (the type) is dropped.
std::vector<ListFileEntry> parseListFile(const QByteArray& content);

}  // namespace sdovalues
