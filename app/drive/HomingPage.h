#pragma once
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "DriveModePage.h"

class QLineEdit;
class QPushButton;
namespace Ui {
class HomingPage;
}

/// The page "Homing Mode" (`tabRefMode`) of the drive modes: reference runs
/// in the homing mode, one button per method, a Stop, and the closed-loop
/// group (status and automatic enable).
///
/// A run starts only on the drive the user powered; it clears halt for the
/// start and for nothing else, and every way out that is not a success
/// leaves the drive halted with the start bit cleared.
class HomingPage : public DriveModePage {
  Q_OBJECT
 public:
  HomingPage(DriveControl& control, QWidget* parent);
  ~HomingPage() override;
  void enter() override;
  void leave() override;

  /// Runs a reference run with `method`; true when the drive reported home.
  bool StartHoming(int method);
  /// Ends a run: halt set and the start bit cleared.
  void StopHoming();
  /// Reads the closed-loop status (0x200A) and enable mode (0x2001) from the
  /// node (or the list's values) and shows them here and on the closed-loop
  /// page (`lblCLStatus`, `ComboBox1`); true when closed loop is on. The
  /// closed-loop page reaches it through the meta-object system, as the motor
  /// pages do not link the drive pages.
  Q_INVOKABLE bool showClosedLoopStatus(bool read);
  /// A change of either enable list (this page's or the closed-loop page's):
  /// writes `index` to 0x2001 and shows what the drive then reports; offline
  /// both lists go back to "0 - disabled" with an error box.
  Q_INVOKABLE void changeClosedLoopEnableMode(int index);
  /// The closed-loop set-up runs: the long one after the question box.
  void cl_einrichtmodusClick();
  void cl_einrichtmodus_kurzClick();

 private:
  /// How the run's wait for home ended.
  enum class RunEnd { Homed, HomingError, Stopped, NoAnswer, NotEnabled };
  /// A parameter field and the object it is written to.
  struct Parameter {
    QLineEdit* edit;
    QString name;  ///< the field's label, for the log
    QString id;
    int subIndex;
    qint64 fallback;  ///< written for an empty field, 0 or a text that is not a number
    qint64 min;
    qint64 max;
    QString failure;
  };

  void refButtonClick(QPushButton* button);
  void btnRefPositionResetClick();
  void SetHomingButtonsEnabled(bool enabled);
  /// The numbers to write, one per parameter; nullopt (logged) when a field
  /// holds a value its object cannot take.
  std::optional<std::vector<qint64>> parameterValues();
  /// Writes the method, reads it back and writes the parameters.
  bool writeRunSettings(int method, const std::vector<qint64>& values);
  /// Polls the statusword until the run ends one way or another.
  RunEnd waitForHome();
  /// A homed run's end: the start bit cleared while the drive is enabled.
  bool finishRun();
  void cmbEnableCLAutoChange(int index);
  /// Selects `index` in both enable lists without writing it to the drive
  /// (this page's list only while an adapter is in use).
  void showEnableMode(qint64 index);
  /// Puts both enable lists on `index` without running their change handlers.
  void selectEnableItems(int index, bool homingList);
  void runSetup(bool full);
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showClosedLoopText(bool enabled);
  bool offline() const;
  void pause(int ms) const;

  std::unique_ptr<Ui::HomingPage> ui;
  std::vector<QPushButton*> methodButtons_;
  std::vector<Parameter> parameters_;
  bool running_ = false;    ///< a run or set-up is under way (its wait keeps the window alive)
  bool clArmed_ = false;    ///< page entry happened: a change of the enable list is the user's
  bool clShowing_ = false;  ///< the enable list is being set from the drive
};
