#pragma once
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <stdexcept>

/// One object of the dictionary, or one sub-object of a record or array.
struct sdoDataDefinition {
  QString id;             ///< index as hexadecimal digits without prefix ("6041")
  QString parameterName;
  std::int32_t objectType = 0;
  std::int32_t dataType = 0;  ///< 1 bool, 2 s8, 3 s16, 4 s32, 5 u8, 6 u16, 7 u32, 8 array, 9 string
  QString value;          ///< current value text; starts as the default
  QString defaultValue;   ///< normalised default (decimal text)
  bool pdoMapping = false;
  QString accessType;     ///< as written in the file
  std::int32_t subNumber = 0;  ///< > 0: a record or array with sub-objects
  std::map<std::int32_t, std::unique_ptr<sdoDataDefinition>> subObjects;

  /// Writable when the access text holds a lower-case "w" ("rw", "wo", "rww").
  bool isWritable() const { return accessType.contains(QLatin1Char('w')); }
  const sdoDataDefinition* sub(std::int32_t subIndex) const;
};

/// The dictionary of one loaded file, ordered by a byte-wise comparison of the
/// ID texts (for four upper-case hex digits: ascending index).
struct sdoList {
  std::int32_t count = 0;
  std::map<QString, std::unique_ptr<sdoDataDefinition>> entries;
};

struct edsFile {
  QString path;
  sdoList list;
};

/// Short name of a data-type code ("u16"); other codes as decimal text.
QString dataTypeName(std::int32_t dataType);

/// Loading failed; the message names the file and, where known, the line.
class EdsLoadError : public std::runtime_error {
 public:
  explicit EdsLoadError(const QString& message) : std::runtime_error(message.toStdString()) {}
  QString message() const { return QString::fromStdString(what()); }
};

/// The object dictionary of the connected controller, from the XML rendering
/// of its EDS file. Holds one loaded file at a time. A file that cannot be
/// read or holds a value that does not convert raises EdsLoadError and the
/// previously loaded file stays in effect.
class EDSDatabase {
 public:
  virtual ~EDSDatabase() = default;

  /// appFolder/XML/EDS_Default.xml
  virtual void loadDefault(const QString& appFolder);
  /// appFolder/XML/EDS_<controller>.xml
  virtual void loadForController(const QString& appFolder, const QString& controller);
  /// Any file path.
  virtual void loadFile(const QString& path);

  /// The loaded file; null before the first successful load.
  const edsFile* file() const { return file_.get(); }
  /// Lookup by exact ID text; null when absent.
  const sdoDataDefinition* find(const QString& id) const;
  sdoDataDefinition* find(const QString& id);

  /// Items of the controller choice: for every file of appFolder/XML whose
  /// name contains "EDS_" and ".xml", the name without its first four and
  /// last four characters ("EDS_Default.xml" gives "Default"), by name.
  static QStringList controllerItems(const QString& appFolder);
  /// Whether a choice loads the default file: "Default", an empty text or
  /// "--OFFLINE--", in any case. Every other item has its own file, wherever
  /// the folder listing sorts it.
  static bool choiceUsesDefault(const QString& shownText);

 private:
  std::unique_ptr<edsFile> file_;
};
