#pragma once
#include <QString>
#include <QStringList>

#include <map>

#include "LibraryFiles.h"

/// Default closed-loop parameter sets from "ClosedLoop.xml", keyed by the
/// first two characters of their motor series.
class CLLib {
 public:
  virtual ~CLLib() = default;
  /// False when the file had a fault (`error()`), keeping what could be read.
  virtual bool load(const QString& path = QStringLiteral("ClosedLoop.xml"));
  const QString& error() const { return error_; }
  /// The set whose key is the first two characters of `motorType`; null when there is none.
  const CLRecord* getRecord(const QString& motorType) const;
  /// The keys in file order, one per set (repeated keys included).
  QStringList getKeys() const { return keys_; }

 private:
  std::map<QString, CLRecord> records_;
  QStringList keys_;
  QString error_;
};
