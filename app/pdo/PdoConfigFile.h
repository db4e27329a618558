#pragma once
// The PDO configuration file (".pcf", and the presets ending in "ppf"): one
// object value a line, "index<TAB>|subindex<TAB>|value" with CR LF, written
// in blocks of eleven lines per PDO (COB-ID, transmission type, mapping
// count, mapping entries 1 to 8). Reading and writing only: no node, no cache.
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace pdofile {

/// One object value of a file.
struct Line {
  QString index;  ///< four upper-case hexadecimal digits ("1A00")
  std::uint16_t indexValue = 0;
  std::int32_t sub = 0;
  QString value;       ///< as the file gives it, trimmed
  int lineNumber = 0;  ///< from 1
};

/// What a whole file holds, or the first reason it cannot be used.
struct Content {
  std::vector<Line> lines;
  int errorLine = 0;  ///< the line the error refers to (0: the whole file)
  QString error;      ///< empty when the file can be used
  bool ok() const { return error.isEmpty(); }
};

/// Reads a whole file. Lines without two "|" separators and lines with an
/// empty field are skipped; blank lines too. Rejected as a whole, so that
/// nothing of it reaches a node: an index that is not hexadecimal (one to four
/// digits), a subindex that is not a decimal number up to 255, a PDO
/// parameter value that is not a number, a mapping count above 8 or one whose
/// entries the file does not all hold, and a last line without its line end
/// (the file was cut short).
Content read(const QByteArray& bytes);

/// An object index as the SDO list and the files name it: four upper-case
/// hexadecimal digits ("1A00").
QString indexText(std::uint32_t index);

/// One line as the writer stores it, with its CR LF.
QByteArray formatLine(std::uint16_t index, std::int32_t sub, const QString& value);

/// PDO parameter objects the loader treats apart: the COB-ID of a
/// communication parameter (sub-index 1 of 0x1400-0x1403, 0x1800-0x1803) and
/// the count of a mapping parameter (sub-index 0 of 0x1600-0x1603,
/// 0x1A00-0x1A03). The slot is 0-3 for RxPDO 1-4 and 4-7 for TxPDO 1-4; -1
/// for any other object.
int cobIdSlot(std::uint16_t index, std::int32_t sub);
int countSlot(std::uint16_t index, std::int32_t sub);
/// 0x1400-0x1BFF: communication and mapping parameters of any PDO.
bool isPdoParameter(std::uint16_t index);

}  // namespace pdofile
