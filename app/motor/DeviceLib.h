#pragma once
#include <QString>

#include <functional>
#include <map>

#include "LibraryFiles.h"

/// The controller models the application knows, from "Configuration.xml".
class DeviceLib {
 public:
  virtual ~DeviceLib() = default;
  /// Reads the file; false when it had a fault (`error()`), keeping what
  /// could be read.
  virtual bool load(const QString& path = QStringLiteral("Configuration.xml"));
  const QString& error() const { return error_; }
  /// The controller named exactly `name`. Otherwise the "not found" box and
  /// the fallback "Mirelo"; null when that is missing too.
  virtual const device* getDevice(const QString& name) const;
  /// Whether a controller of exactly that name is listed (no box).
  bool contains(const QString& name) const { return devices_.count(name) != 0; }
  /// The controller named exactly `name`, or null; no box, no fallback.
  const device* find(const QString& name) const;
  static const QString kNotFound;  ///< the text of the "not found" box

 private:
  std::map<QString, device> devices_;
  QString error_;
};
