#pragma once
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class MotorHost;
class QLabel;
class QLineEdit;
namespace Ui {
class ClosedLoopPage;
}

/// The page "Closed Loop" (`tabClosedLoop`): the closed-loop controller's
/// gains (0x2002:1..24, a numerator and a power-of-two exponent per part of
/// four loops), the position and following-error windows, the velocity
/// control type, the closed-loop status and automatic enable, and default
/// parameter sets from the closed-loop library.
///
/// The page keeps no values of its own: it shows the SDO list's cache, Load
/// fills the cache from the library, Save writes the cache's objects from the
/// fields. The status and the enable list live with the homing page's
/// closed-loop group, which keeps both pages' lists in step.
class ClosedLoopPage : public QWidget {
  Q_OBJECT
 public:
  ClosedLoopPage(MotorHost& host, QWidget* parent);
  ~ClosedLoopPage() override;

  /// The window switched to the page.
  void enter();
  /// The libraries are loaded: the default-series list can be filled.
  void librariesLoaded();

  /// Shows every value of the page, read from the node first when `read`.
  void refreshClosedLoopPage(bool read);
  /// Recomputes the twelve result labels (numerator / 2^exponent).
  void updateClosedLoopLabels();
  /// Shows the closed-loop status and enable mode on both pages.
  bool showClosedLoopStatus(bool read);
  /// Copies the library's parameter set for `key` into the SDO list's cache
  /// (nothing changes when the library has no such set).
  void loadClosedLoopDefaults(const QString& key);

 private:
  /// A number field of the page and the object it shows.
  struct Field {
    QLineEdit* edit;
    QString id;
    int subIndex;
    QString name;  ///< for messages
  };

  void btnCLRefreshClick();
  void btnCLSaveClick();
  void btnLoadDefualtsClick();
  void ComboBox1Change(int index);
  /// A gain edit changed: clamped to its range, the labels recomputed.
  void parameterChanged(std::size_t gain);
  /// The largest value gain `gain` (0..23, in subindex order) takes: the
  /// numerators 65536, the exponents 15, neither beyond its object's type.
  qint64 gainMax(std::size_t gain) const;
  /// The range of a field's object by its data type in the loaded
  /// dictionary; false when the list does not know the object.
  bool objectRange(const Field& field, qint64& min, qint64& max) const;
  /// The fields' numbers for Save; nullopt (after a box) when one is not a
  /// number or outside its object's range.
  std::optional<std::vector<qint64>> fieldValues();
  void setFieldText(std::size_t field, const QString& text);
  /// The homing page, owner of the closed-loop status and enable list.
  QObject* closedLoopGroup() const;
  void pause(int ms) const;

  MotorHost& host_;
  std::unique_ptr<Ui::ClosedLoopPage> ui;
  std::vector<Field> fields_;  ///< the 24 gains in subindex order, then 0x6067, 0x6068, 0x6065, 0x6066
  std::vector<QString> lastValid_;  ///< per field: the text before an edit that was not a number
  std::vector<QLabel*> results_;    ///< one per gain pair
  bool showing_ = false;            ///< fields are being set by the page, not typed
};
