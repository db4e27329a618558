#include "DeviceLib.h"

#include "MessageBoxService.h"

const QString DeviceLib::kNotFound =
    QStringLiteral("Current controller not found in the configuration.xml! Using settings from the Mirelo as default!");

bool DeviceLib::load(const QString& path) {
  QByteArray content;
  if (!libraryfiles::readFile(path, content, error_)) return false;
  auto result = libraryfiles::readDevices(content, path);
  for (device& d : result.records) devices_[d.name] = std::move(d);
  error_ = result.error;
  return result.ok();
}

const device* DeviceLib::find(const QString& name) const {
  auto it = devices_.find(name);
  return it == devices_.end() ? nullptr : &it->second;
}

const device* DeviceLib::getDevice(const QString& name) const {
  if (const device* d = find(name)) return d;
  showMessageBox(QStringLiteral("ERROR"), kNotFound, QMessageBox::Critical);
  return find(QStringLiteral("Mirelo"));
}
