#pragma once
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "LibraryFiles.h"

/// A node of the motor tree: kind 1 holds entries, kind 2 (a series) motors.
struct treeEntry {
  int kind = 1;
  QString name;
  std::vector<std::unique_ptr<treeEntry>> children;
  std::vector<const motor*> motors;
};

/// The motor catalogue from "MotorType.xml": motor type (stepper or BLDC
/// branch) -> series -> model.
class MotorLib {
 public:
  MotorLib();
  virtual ~MotorLib();
  /// Reads the file and builds the tree, once; false when the file had a
  /// fault (`error()`), keeping what could be read.
  virtual bool load(const QString& path = QStringLiteral("MotorType.xml"));
  bool loaded() const { return loaded_; }
  const QString& error() const { return error_; }
  /// The series of the stepper branch for "Stepmotor", of the BLDC branch
  /// for a type that contains "BLDC", none otherwise.
  QStringList getSeries(const QString& motorType) const;
  QStringList getModels(const QString& motorType, const QString& series) const;
  /// The last motor of that model in that series; null when there is none.
  const motor* getMotor(const QString& motorType, const QString& series, const QString& model) const;

 private:
  const treeEntry* branch(const QString& motorType) const;

  std::vector<std::unique_ptr<motor>> motors_;
  treeEntry root_;
  treeEntry* stepper_ = nullptr;
  treeEntry* bldc_ = nullptr;
  bool loaded_ = false;
  QString error_;
};
