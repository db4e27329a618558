#pragma once
// The three library files of the motor and controller configuration, read
// into plain records. Qt Core and Xml only, so the readers also run as fuzz
// targets.
#include <QByteArray>
#include <QString>

#include <array>
#include <vector>

/// One controller model of "Configuration.xml".
struct device {
  QString name;
  bool ClosedLoop = false;
  double MaxMotorCurrent = 0.0;  ///< ampere; the 100 % of the current settings
  bool ExternalBrake = false;
  int Input = 6;
  int Output = 6;
  bool PI = false;
  bool BLDC = false;
};

/// One motor model of "MotorType.xml".
struct motor {
  int MotorID = 0;
  QString MotorType;         ///< the series
  QString MotorBezeichnung;  ///< the model designation shown to the user
  QString Design;            ///< "Stepper_Motor" or a BLDC design
  QString StepAngle;         ///< "1.8"/"0.9" for steppers; the hall mode text for BLDC motors
  int Windings = 0;
  int Polepairs = 0;
  std::array<int, 7> LoadAngle{};
  int NodeDistance = 0;
  double MaxCurrent = 0.0;  ///< ampere
};

/// One closed-loop parameter set of "ClosedLoop.xml".
struct CLRecord {
  QString MotorType;
  int PositionWindow = 0;         ///< 0x6067
  int PositionWindowTime = 0;     ///< 0x6068
  int FollowingErrorWindow = 0;   ///< 0x6065
  int FollowingErrorTimeout = 0;  ///< 0x6066
  /// KP_v_Z, KP_v_N, KI_v_Z, ... KD_css_N: the values of 0x2002 subindices 1 to 24.
  std::array<int, 24> gains{};
  /// The element names of `gains`, in subindex order.
  static const std::array<const char*, 24> kGainNames;
};

namespace libraryfiles {

/// What a file gave: the records that were read whole, and the first fault
/// ("MotorType.xml, line 12: ..."; empty when there was none). A record with
/// a fault is left out whole; the records after it are still read.
template <typename Record>
struct Result {
  std::vector<Record> records;
  QString error;
  bool ok() const { return error.isEmpty(); }
};

/// `fileName` names the file in the messages.
Result<device> readDevices(const QByteArray& content, const QString& fileName);
Result<motor> readMotors(const QByteArray& content, const QString& fileName);
Result<CLRecord> readClosedLoop(const QByteArray& content, const QString& fileName);

/// The file's content; false with the message in `error` when it cannot be read.
bool readFile(const QString& path, QByteArray& content, QString& error);

}  // namespace libraryfiles
