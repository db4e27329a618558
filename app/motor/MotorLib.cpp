#include "MotorLib.h"

#include <map>

MotorLib::MotorLib() {
  root_.name = QStringLiteral("root");
  for (const char* name : {"Stepper_Motor", "BLDC_Hall_Motor"}) {
    auto branch = std::make_unique<treeEntry>();
    branch->name = QLatin1String(name);
    root_.children.push_back(std::move(branch));
  }
  stepper_ = root_.children[0].get();
  bldc_ = root_.children[1].get();
}

MotorLib::~MotorLib() = default;

bool MotorLib::load(const QString& path) {
  if (loaded_) return error_.isEmpty();
  loaded_ = true;
  QByteArray content;
  if (!libraryfiles::readFile(path, content, error_)) return false;
  auto result = libraryfiles::readMotors(content, path);
  // A series goes where its first motor's design puts it.
  std::map<QString, treeEntry*> series;
  for (motor& m : result.records) {
    motors_.push_back(std::make_unique<motor>(std::move(m)));
    const motor* record = motors_.back().get();
    treeEntry*& node = series[record->MotorType];
    if (!node) {
      treeEntry* branch = record->Design == QLatin1String("Stepper_Motor") ? stepper_ : bldc_;
      auto entry = std::make_unique<treeEntry>();
      entry->kind = 2;
      entry->name = record->MotorType;
      node = entry.get();
      branch->children.push_back(std::move(entry));
    }
    node->motors.push_back(record);
  }
  error_ = result.error;
  return result.ok();
}

const treeEntry* MotorLib::branch(const QString& motorType) const {
  if (motorType == QLatin1String("Stepmotor")) return stepper_;
  if (motorType.contains(QLatin1String("BLDC"))) return bldc_;
  return nullptr;
}

QStringList MotorLib::getSeries(const QString& motorType) const {
  QStringList names;
  if (const treeEntry* b = branch(motorType))
    for (const auto& s : b->children) names << s->name;
  return names;
}

QStringList MotorLib::getModels(const QString& motorType, const QString& series) const {
  QStringList names;
  if (const treeEntry* b = branch(motorType))
    for (const auto& s : b->children)
      if (s->name == series)
        for (const motor* m : s->motors) names << m->MotorBezeichnung;
  return names;
}

const motor* MotorLib::getMotor(const QString& motorType, const QString& series, const QString& model) const {
  const motor* found = nullptr;
  if (const treeEntry* b = branch(motorType))
    for (const auto& s : b->children)
      if (s->name == series)
        for (const motor* m : s->motors)
          if (m->MotorBezeichnung == model) found = m;
  return found;
}
