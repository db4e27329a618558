#pragma once
#include <QPointer>
#include <QSet>
#include <QWidget>

#include <array>
#include <memory>
#include <optional>
#include <vector>

class MotorHost;
class QLabel;
class QLineEdit;
class QSpinBox;
class TfrmBrakeInfo;
namespace Ui {
class MotorSettingsPage;
}

/// The page "Motor && Drive Settings" (`tabMotorSettings`): the motor, encoder,
/// current, brake and scaling objects of the connected controller, with the
/// motor defaults of the motor library.
///
/// The page keeps no values of its own: it shows the SDO list's values and
/// writes them back through the list. It writes only what it shows, and only
/// what it could show: an object the controller's dictionary lacks is never
/// written (its controls are disabled), and a value that could not be read or
/// is no number is left alone by Save until the user sets it.
class MotorSettingsPage : public QWidget {
  Q_OBJECT
 public:
  MotorSettingsPage(MotorHost& host, QWidget* parent);
  ~MotorSettingsPage() override;

  /// The window switched to the page.
  void enter();
  /// The libraries are loaded: the motor lists can be filled.
  void librariesLoaded();
  /// The connection identified a controller: BLDC controllers offer the
  /// motor types "BLDC" and "BLDC with Encoder" beside "Stepmotor".
  void setBldcTypes(bool bldc);

  /// "Load from Controller".
  void btnMoSetRefreshClick();
  /// "Save": every shown object in the order the controller expects.
  void btnMoSetSaveClick();

 private:
  /// How a control shows an object's value.
  enum class Kind { Text, MotorType, EncoderType, EncoderResolution, Direction, HallMode, Polarity, Current };
  struct PageObject {
    const char* id;
    int subIndex;
    Kind kind;
    std::vector<QWidget*> controls;
    int current = -1;       ///< index into currents_ for Kind::Current
    bool bldcOnly = false;  ///< used by BLDC motors only
  };
  /// An up-down with its percent edit and its ampere labels.
  struct CurrentField {
    QSpinBox* upDown;
    QLineEdit* edit;
    QLabel* value;
    QLabel* peak;
  };
  enum CurrentIndex { kPhase = 0, kStop = 1, kBldc = 2 };

  void buildObjectTable();
  void connectHandlers();

  /// Shows every object (refreshMotorPage); `read` fetches each from the node first.
  void refreshMotorPage(bool read);
  void showObject(const PageObject& object, bool read);
  void showValue(const PageObject& object, const QString& value);
  void writeObject(const PageObject& object, bool toNode);
  /// The text Save writes for the object; none when it shows no value to write.
  std::optional<QString> valueToWrite(const PageObject& object);
  /// The object exists in the connected controller's dictionary.
  bool present(const PageObject& object) const;
  /// Enables each control when its object exists and the motor type uses it.
  void updateEnabled();
  bool bldcType() const;
  void forgetUnknown(QWidget* control) { unknown_.remove(control); }

  /// The motor-type handler ahead of showing the node's values: lists and
  /// the first motor's maximum, without correcting the currents.
  void chooseFirstMotor();
  void cmbMotorTypeChange();
  void cmbMotorSeriesChange();
  void cmbModelChange();
  void fillSeries();
  void fillModels();

  /// Amperes of the controller's 100 %; 0 when no controller is known.
  double ratedCurrent();
  /// The chosen motor's maximum (`lblMotorMaxCurrent`); 0 when none is known.
  double motorMaxCurrent() const;
  /// The highest percent the chosen motor takes; none when either current is unknown.
  std::optional<int> percentLimit();
  void applyMotorLimits();
  /// Current labels and, with `fix`, the correction of values above the motor's maximum.
  void updateCurrents(bool fix);
  void showCurrentLabels(CurrentField& field);
  void setCurrent(CurrentField& field, int percent);
  void markCurrent(CurrentField& field);
  void currentEdited(int index);
  void upDownChanged(int index, int position);
  void brakeTimeChanged(QLineEdit* edit);
  void btnBrakeInfoClick();

  static void log(const QString& text);

  MotorHost& host_;
  std::unique_ptr<Ui::MotorSettingsPage> ui;
  std::vector<PageObject> objects_;
  std::array<CurrentField, 3> currents_{};
  /// Controls that show no value of the node (read failed, no number, no
  /// item for it): Save skips their objects until the user sets them.
  QSet<QWidget*> unknown_;
  QString listsType_;  ///< the motor type the series list was filled for
  bool encoderTypeReadable_ = true;
  bool updatingCurrents_ = false;
  bool motorLimitsOff_ = false;
  QPointer<TfrmBrakeInfo> brakeInfo_;
};
