#include "ClosedLoopPage.h"

#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

#include "CLLib.h"
#include "DLLConnector.h"
#include "GuardedHandler.h"
#include "InputFilters.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "MotorHost.h"
#include "StringGridSDODataSource.h"
#include "Util.h"
#include "ui_ClosedLoopPage.h"

namespace {

constexpr qint64 kNumeratorMax = 65536;
constexpr qint64 kExponentMax = 15;
constexpr int kGains = 24;

/// A field's text as a number by the application's conversion rules, without
/// its 32-bit wrap: "70000" stays 70000 and a text of many digits is very
/// large rather than some wrapped value. nullopt when it is not a number.
std::optional<qint64> number(const QString& text) {
  try {
    Util::ToInt(text);
  } catch (const ConversionError&) {
    return std::nullopt;
  }
  const bool negative = text.startsWith(QLatin1Char('-'));
  const bool hex = text.startsWith(QLatin1String("0x"));
  bool ok = false;
  const qint64 value = hex ? text.mid(2).toLongLong(&ok, 16) : text.toLongLong(&ok, 10);
  if (ok) return value;
  return negative ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
}

/// The values a data type of the dictionary holds (codes of the EDS database).
bool typeRange(std::int32_t dataType, qint64& min, qint64& max) {
  switch (dataType) {
    case 1: min = 0; max = 1; return true;
    case 2: min = -128; max = 127; return true;
    case 3: min = -32768; max = 32767; return true;
    case 4: min = -2147483648LL; max = 2147483647LL; return true;
    case 5: min = 0; max = 0xFF; return true;
    case 6: min = 0; max = 0xFFFF; return true;
    case 7: min = 0; max = 0xFFFFFFFFLL; return true;
    default: return false;
  }
}

/// numerator / 2^exponent as a plain decimal number ("25", "0.015625").
QString ratioText(qint64 numerator, qint64 exponent) {
  const double value = double(numerator) / std::pow(2.0, double(exponent));
  QString text = QString::number(value, 'f', 15);
  while (text.endsWith(QLatin1Char('0'))) text.chop(1);
  if (text.endsWith(QLatin1Char('.'))) text.chop(1);
  return text;
}

void log(const QString& text) { Logging::instance().log(text); }

}  // namespace

ClosedLoopPage::ClosedLoopPage(MotorHost& host, QWidget* parent)
    : QWidget(parent), host_(host), ui(std::make_unique<Ui::ClosedLoopPage>()) {
  ui->setupUi(this);
  ui->chkEnableCL->setVisible(false);
  ui->Image3->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));

  const std::vector<QLineEdit*> gains{
      ui->txtCL_VL_P_Z,  ui->txtCL_VL_P_N,  ui->txtCL_VL_I_Z,  ui->txtCL_VL_I_N,  ui->txtCL_VL_D_Z,  ui->txtCL_VL_D_N,
      ui->txtCL_PL_P_Z,  ui->txtCL_PL_P_N,  ui->txtCL_PL_I_Z,  ui->txtCL_PL_I_N,  ui->txtCL_PL_D_Z,  ui->txtCL_PL_D_N,
      ui->txtCL_CVL_P_Z, ui->txtCL_CVL_P_N, ui->txtCL_CVL_I_Z, ui->txtCL_CVL_I_N, ui->txtCL_CVL_D_Z, ui->txtCL_CVL_D_N,
      ui->txtCL_CPL_P_Z, ui->txtCL_CPL_P_N, ui->txtCL_CPL_I_Z, ui->txtCL_CPL_I_N, ui->txtCL_CPL_D_Z, ui->txtCL_CPL_D_N};
  for (std::size_t i = 0; i < gains.size(); ++i)
    fields_.push_back({gains[i], QStringLiteral("2002"), int(i) + 1,
                       QStringLiteral("0x2002:%1").arg(QString::number(i + 1, 16).toUpper())});
  fields_.push_back({ui->txtPositionErrorCount, QStringLiteral("6067"), 0, QStringLiteral("Position Error Count")});
  fields_.push_back({ui->txtPositionErrorTime, QStringLiteral("6068"), 0, QStringLiteral("Position Error Time")});
  fields_.push_back({ui->txtFollowingError, QStringLiteral("6065"), 0, QStringLiteral("Following Error Count")});
  fields_.push_back({ui->txtFollowingErrorTime, QStringLiteral("6066"), 0, QStringLiteral("Following Error Time")});
  results_ = {ui->lblV_L_P, ui->lblV_L_I, ui->lblV_L_D, ui->lblP_L_P, ui->lblP_L_I, ui->lblP_L_D,
              ui->lblCVL_P, ui->lblCVL_I, ui->lblCVL_D, ui->lblCPL_P, ui->lblCPL_I, ui->lblCPL_D};

  for (const Field& f : fields_) {
    KeyFilter::install(f.edit, KeyFilter::Unsigned);
    lastValid_.push_back(f.edit->text());
  }
  for (std::size_t i = 0; i < kGains; ++i)
    connect(fields_[i].edit, &QLineEdit::textChanged, this, guarded([this, i] { parameterChanged(i); }));
  // The window fields take any number; a text that is not one is caught by Save.
  for (std::size_t i = kGains; i < fields_.size(); ++i)
    connect(fields_[i].edit, &QLineEdit::textChanged, this, [this, i](const QString& text) {
      if (!showing_ && number(text)) lastValid_[i] = text;
    });

  connect(ui->btnCLRefresh, &QPushButton::clicked, this, guarded([this] { btnCLRefreshClick(); }));
  connect(ui->btnCLSave, &QPushButton::clicked, this, guarded([this] { btnCLSaveClick(); }));
  connect(ui->btnLoadDefualts, &QPushButton::clicked, this, guarded([this] { btnLoadDefualtsClick(); }));
  connect(ui->Image3, &QToolButton::clicked, this, guarded([this] { showClosedLoopStatus(true); }));
  connect(ui->ComboBox1, &QComboBox::currentIndexChanged, this,
          [this](int index) { guarded([this, index] { ComboBox1Change(index); })(); });
  updateClosedLoopLabels();
}

ClosedLoopPage::~ClosedLoopPage() = default;

void ClosedLoopPage::pause(int ms) const {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

QObject* ClosedLoopPage::closedLoopGroup() const {
  return window()->findChild<QWidget*>(QStringLiteral("tabRefMode"));
}

void ClosedLoopPage::librariesLoaded() {
  ui->cmbDefaultSeries->clear();
  for (const QString& key : host_.clLib().getKeys())
    ui->cmbDefaultSeries->addItem(key == QLatin1String("De") ? QStringLiteral("Default")
                                                             : QStringLiteral("ST") + key + QStringLiteral("xx"));
}

// ---- Showing ------------------------------------------------------------------

void ClosedLoopPage::setFieldText(std::size_t field, const QString& text) {
  showing_ = true;
  fields_[field].edit->setText(text);
  showing_ = false;
  lastValid_[field] = text;
}

void ClosedLoopPage::refreshClosedLoopPage(bool read) {
  StringGridSDODataSource* list = host_.sdoList();
  DLLConnector* connector = host_.connector();
  if (!list || host_.isClosing()) return;
  // Reads must not cut into a transfer under way; the offline connector
  // always reports one, so offline the page shows the cache.
  if (read && (!connector || connector->isQueryPending())) return;
  auto value = [&](const QString& id, int sub) {
    if (read && !list->getValue(id, sub, true).isNull() && !list->lastReadOk() && !host_.isClosing()) {
      // A silent node would cost every read its time-out: the rest comes from the cache.
      log(QStringLiteral("Closed Loop: reading 0x%1:%2 failed, the page shows the values it had").arg(id).arg(sub));
      read = false;
    }
    return list->getValue(id, sub, false);
  };
  for (std::size_t i = 0; i < fields_.size() && !host_.isClosing(); ++i)
    setFieldText(i, value(fields_[i].id, fields_[i].subIndex));
  if (host_.isClosing()) return;
  ui->chkEnableCL->setChecked(value(QStringLiteral("2001"), 0) == QLatin1String("1"));
  const int type = Util::ToIntDef(value(QStringLiteral("200F"), 0), 0);
  ui->cmbReglerTyp->setCurrentIndex(type >= 0 && type < ui->cmbReglerTyp->count() ? type : -1);
  updateClosedLoopLabels();
}

void ClosedLoopPage::updateClosedLoopLabels() {
  for (std::size_t k = 0; k < results_.size(); ++k) {
    const auto z = number(fields_[2 * k].edit->text());
    const auto n = number(fields_[2 * k + 1].edit->text());
    results_[k]->setText(z && n ? ratioText(*z, *n) : QString());
  }
}

bool ClosedLoopPage::showClosedLoopStatus(bool read) {
  // One status display for both pages: the homing page's closed-loop group.
  bool enabled = false;
  if (QObject* group = closedLoopGroup())
    QMetaObject::invokeMethod(group, "showClosedLoopStatus", Qt::DirectConnection, Q_RETURN_ARG(bool, enabled),
                              Q_ARG(bool, read));
  return enabled;
}

void ClosedLoopPage::enter() {
  host_.stopErrorAutoRefresh();
  StringGridSDODataSource* list = host_.sdoList();
  if (!list || host_.isClosing()) return;
  refreshClosedLoopPage(false);
  // The enable mode comes fresh from the node; the status as the cache has it.
  list->getValue(QStringLiteral("2001"), 0, true);
  if (host_.isClosing()) return;
  showClosedLoopStatus(false);
}

// ---- Editing ------------------------------------------------------------------

qint64 ClosedLoopPage::gainMax(std::size_t gain) const {
  qint64 max = gain % 2 == 0 ? kNumeratorMax : kExponentMax;
  // A narrower object would store 65536 as 0: a zero gain instead of the largest.
  qint64 typeMin = 0, typeMax = 0;
  if (objectRange(fields_[gain], typeMin, typeMax)) max = std::min(max, typeMax);
  return max;
}

bool ClosedLoopPage::objectRange(const Field& field, qint64& min, qint64& max) const {
  StringGridSDODataSource* list = host_.sdoList();
  const sdoGridEntry* entry = list ? list->findEntry(field.id, field.subIndex) : nullptr;
  return entry && entry->definition && typeRange(entry->definition->dataType, min, max);
}

void ClosedLoopPage::parameterChanged(std::size_t gain) {
  if (showing_) return;
  const QString text = fields_[gain].edit->text();
  if (text.isEmpty()) return;  // being typed
  const auto value = number(text);
  if (!value) {
    log(QStringLiteral("Closed Loop: '%1' is not a number (%2); the field keeps %3")
            .arg(text, fields_[gain].name, lastValid_[gain].isEmpty() ? QStringLiteral("its value") : lastValid_[gain]));
    setFieldText(gain, lastValid_[gain]);
    updateClosedLoopLabels();
    return;
  }
  const qint64 clamped = std::clamp<qint64>(*value, 0, gainMax(gain));
  const QString clampedText = QString::number(clamped);
  if (clampedText != text) setFieldText(gain, clampedText);
  lastValid_[gain] = clampedText;
  updateClosedLoopLabels();
}

// ---- Refresh, Save, Load --------------------------------------------------------

void ClosedLoopPage::btnCLRefreshClick() {
  host_.SetBusy(true);
  refreshClosedLoopPage(true);
  host_.SetBusy(false);
}

std::optional<std::vector<qint64>> ClosedLoopPage::fieldValues() {
  std::vector<qint64> values;
  QStringList problems;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const Field& f = fields_[i];
    const QString text = f.edit->text();
    const auto value = number(text);
    qint64 min = 0, max = 0;
    const bool typed = objectRange(f, min, max);
    if (i < kGains) {
      min = 0;
      max = gainMax(i);
    }
    if (!value) {
      problems << QStringLiteral("%1: '%2' is not a number").arg(f.name, text);
    } else if ((i < kGains || typed) && (*value < min || *value > max)) {
      problems << QStringLiteral("%1: %2 is outside %3 to %4").arg(f.name).arg(*value).arg(min).arg(max);
    } else {
      values.push_back(*value);
    }
  }
  if (problems.isEmpty()) return values;
  log(QStringLiteral("Closed Loop: nothing saved. ") + problems.join(QStringLiteral("; ")));
  showMessageBox(QStringLiteral("Value Error"),
                 QStringLiteral("Nothing was saved:\n") + problems.join(QLatin1Char('\n')), QMessageBox::Warning);
  return std::nullopt;
}

void ClosedLoopPage::btnCLSaveClick() {
  if (host_.offline()) {
    showMessageBox(QStringLiteral("ERROR"), QStringLiteral("No active CAN Card found. Closed Loop status can not be saved!"),
                   QMessageBox::Critical);
    return;
  }
  StringGridSDODataSource* list = host_.sdoList();
  if (!list || host_.isClosing()) return;
  const auto values = fieldValues();
  if (!values) return;

  host_.SetBusy(true);
  struct NotBusy {
    MotorHost& host;
    ~NotBusy() { host.SetBusy(false); }
  } notBusy{host_};
  // A refused value is reported with the drive's reason, and the field shows
  // what the drive kept, read back from it.
  auto write = [&](const QString& id, int sub, qint64 value, const QString& name) {
    if (host_.isClosing()) return;
    bool ok = false;
    try {
      ok = list->setValue(id, sub, QString::number(value), true);
    } catch (const ConversionError&) {
      ok = false;
    }
    if (ok || host_.isClosing()) return;
    const sdoGridEntry* entry = list->findEntry(id, sub);
    log(QStringLiteral("Closed Loop: writing %1 = %2 failed: %3")
            .arg(name)
            .arg(value)
            .arg(entry && !entry->message.isEmpty() ? entry->message : QStringLiteral("no answer")));
    list->getValue(id, sub, true);
  };
  for (std::size_t i = 0; i < fields_.size(); ++i)
    write(fields_[i].id, fields_[i].subIndex, (*values)[i], fields_[i].name);
  auto* homingList = window()->findChild<QComboBox*>(QStringLiteral("cmbEnableCLAuto"));
  const int enableMode = homingList && homingList->currentIndex() >= 0 ? homingList->currentIndex()
                                                                       : ui->ComboBox1->currentIndex();
  if (enableMode >= 0) write(QStringLiteral("2001"), 0, enableMode, QStringLiteral("Enable CL (0x2001)"));
  if (host_.isClosing()) return;
  pause(100);
  if (host_.isClosing()) return;
  showClosedLoopStatus(true);
  if (ui->cmbReglerTyp->currentIndex() >= 0)
    write(QStringLiteral("200F"), 0, ui->cmbReglerTyp->currentIndex(), QStringLiteral("Velocity Control (0x200F)"));
  if (host_.isClosing()) return;
  refreshClosedLoopPage(false);
}

void ClosedLoopPage::btnLoadDefualtsClick() {
  const QString entry = ui->cmbDefaultSeries->currentText();
  if (entry.isEmpty()) return;
  loadClosedLoopDefaults(entry == QLatin1String("Default") ? QStringLiteral("De") : entry.mid(2, 2));
}

void ClosedLoopPage::loadClosedLoopDefaults(const QString& key) {
  const CLRecord* record = host_.clLib().getRecord(key);
  StringGridSDODataSource* list = host_.sdoList();
  if (!record || !list) return;
  for (std::size_t i = 0; i < record->gains.size(); ++i)
    list->setValue(QStringLiteral("2002"), int(i) + 1, QString::number(record->gains[i]), false);
  list->setValue(QStringLiteral("6067"), 0, QString::number(record->PositionWindow), false);
  list->setValue(QStringLiteral("6068"), 0, QString::number(record->PositionWindowTime), false);
  list->setValue(QStringLiteral("6065"), 0, QString::number(record->FollowingErrorWindow), false);
  list->setValue(QStringLiteral("6066"), 0, QString::number(record->FollowingErrorTimeout), false);
  refreshClosedLoopPage(false);
}

// ---- Enable list ----------------------------------------------------------------

void ClosedLoopPage::ComboBox1Change(int index) {
  if (showing_ || index < 0 || host_.isClosing()) return;
  // The homing page's group writes the mode and shows both lists afterwards.
  if (QObject* group = closedLoopGroup())
    QMetaObject::invokeMethod(group, "changeClosedLoopEnableMode", Qt::DirectConnection, Q_ARG(int, index));
}
