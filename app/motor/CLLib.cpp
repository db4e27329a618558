#include "CLLib.h"

bool CLLib::load(const QString& path) {
  QByteArray content;
  if (!libraryfiles::readFile(path, content, error_)) return false;
  auto result = libraryfiles::readClosedLoop(content, path);
  for (CLRecord& r : result.records) {
    const QString key = r.MotorType.left(2);
    keys_ << key;
    records_[key] = std::move(r);
  }
  error_ = result.error;
  return result.ok();
}

const CLRecord* CLLib::getRecord(const QString& motorType) const {
  auto it = records_.find(motorType.left(2));
  return it == records_.end() ? nullptr : &it->second;
}
