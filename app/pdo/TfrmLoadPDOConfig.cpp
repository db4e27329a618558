#include "TfrmLoadPDOConfig.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QScreen>

#include <array>
#include <optional>

#include "DLLConnector.h"
#include "MessageBoxService.h"
#include "PdoConfigFile.h"
#include "RoutingMessageFilter.h"
#include "StringGridSDODataSource.h"
#include "Util.h"
#include "canopen/Cia301.h"
#include "ui_TfrmLoadPDOConfig.h"

namespace {

namespace co = kestrum::canopen;

constexpr std::uint16_t kControlword = 0x6040;
constexpr int kPathColumnWidth = 2;

QString defaultChooser(QWidget* parent) {
  QFileDialog dialog(parent, QStringLiteral("Load PDO Configuration"), QString(),
                     QStringLiteral("PDO Config File (*.pcf)"));
  dialog.setObjectName(QStringLiteral("dlgLoadConfigFile"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                 : QString();
}

/// Why a line the reader accepted does not fit the node's dictionary; empty
/// when it does.
QString dictionaryProblem(StringGridSDODataSource& list, const pdofile::Line& line) {
  // The controlword enables and moves the drive: a configuration file is no
  // request to do either.
  if (line.indexValue == kControlword) return QStringLiteral("the controlword 6040 is not set by a PDO configuration");
  const sdoGridEntry* entry = list.findEntry(line.index, line.sub);
  if (!entry || !entry->definition)
    return QStringLiteral("the object %1:%2 is not in the object dictionary of the node").arg(line.index).arg(line.sub);
  const int dataType = entry->definition->dataType;
  if (dataType >= 1 && dataType <= 7) {
    try {
      Util::ToInt(line.value);
    } catch (const ConversionError&) {
      return QStringLiteral("the value \"%1\" is not a number").arg(line.value);
    }
  }
  return {};
}

}  // namespace

TfrmLoadPDOConfig::TfrmLoadPDOConfig(PdoHost& host, QWidget* parent, const QString& presetFolder)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmLoadPDOConfig>()), host_(host) {
  chooseFile = &defaultChooser;
  ui->setupUi(this);
  ui->ctlTab->setCurrentWidget(ui->tabFile);
  ui->lstPredefined->setColumnCount(2);
  ui->lstPredefined->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Path")});
  ui->lstPredefined->verticalHeader()->hide();
  ui->lstPredefined->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  ui->lstPredefined->horizontalHeader()->setMinimumSectionSize(0);
  ui->lstPredefined->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Fixed);
  ui->lstPredefined->setColumnWidth(1, kPathColumnWidth);
  connect(ui->btnSearchFile, &QPushButton::clicked, this, [this] { btnSearchFileClick(); });
  connect(ui->btnOK, &QPushButton::clicked, this, [this] {
    if (btnOKClick()) accept();
  });
  connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  buildPresetList(presetFolder.isEmpty() ? QDir::currentPath() + QStringLiteral("/Presets/") : presetFolder);
}

TfrmLoadPDOConfig::~TfrmLoadPDOConfig() = default;

void TfrmLoadPDOConfig::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void TfrmLoadPDOConfig::buildPresetList(const QString& folder) {
  ui->lstPredefined->setRowCount(0);
  const QDir dir(folder);
  for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
    if (!name.endsWith(QLatin1String("ppf"))) continue;
    const int row = ui->lstPredefined->rowCount();
    ui->lstPredefined->insertRow(row);
    ui->lstPredefined->setItem(row, 0, new QTableWidgetItem(name.left(name.size() - 4)));
    ui->lstPredefined->setItem(row, 1, new QTableWidgetItem(dir.filePath(name)));
  }
  if (ui->lstPredefined->rowCount() > 0) ui->lstPredefined->selectRow(0);
}

void TfrmLoadPDOConfig::btnSearchFileClick() {
  const QString name = chooseFile(this);
  if (!name.isEmpty()) ui->txtFileName->setText(name);
}

QString TfrmLoadPDOConfig::chosenPath() const {
  if (ui->ctlTab->currentWidget() == ui->tabFile) return ui->txtFileName->text().trimmed();
  const QTableWidgetItem* path = ui->lstPredefined->item(ui->lstPredefined->currentRow(), 1);
  return path ? path->text() : QString();
}

bool TfrmLoadPDOConfig::btnOKClick() {
  const QString path = chosenPath();
  auto fail = [](const QString& text) {
    showMessageBox(QStringLiteral("Error"), text, QMessageBox::Critical);
    return false;
  };
  if (path.isEmpty()) return fail(QStringLiteral("Please choose a PDO configuration file."));
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return fail(QStringLiteral("The PDO configuration \"%1\" could not be opened: %2").arg(path, file.errorString()));
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError)
    return fail(QStringLiteral("The PDO configuration \"%1\" could not be read: %2").arg(path, file.errorString()));

  pdofile::Content content = pdofile::read(bytes);
  StringGridSDODataSource* list = host_.sdoList();
  if (!list) return fail(QStringLiteral("There is no object list to load \"%1\" into.").arg(path));
  for (const pdofile::Line& line : content.lines) {
    if (!content.ok()) break;
    const QString problem = dictionaryProblem(*list, line);
    if (problem.isEmpty()) continue;
    content.errorLine = line.lineNumber;
    content.error = problem;
  }
  if (!content.ok())
    return fail(QStringLiteral("\"%1\", line %2: %3.\nNothing was loaded.")
                    .arg(path)
                    .arg(content.errorLine)
                    .arg(content.error));

  const QString problem = apply(path, content, ui->chkAutoWrite->isChecked());
  if (!problem.isEmpty()) showMessageBox(QStringLiteral("Error"), problem, QMessageBox::Critical);
  return true;
}

QString TfrmLoadPDOConfig::apply(const QString& path, const pdofile::Content& content, bool autoWrite) {
  StringGridSDODataSource* list = host_.sdoList();
  if (!autoWrite) {
    // Only the cache: the COB-IDs and counts would describe mappings the
    // node does not hold.
    for (const pdofile::Line& line : content.lines)
      if (pdofile::cobIdSlot(line.indexValue, line.sub) < 0 && pdofile::countSlot(line.indexValue, line.sub) < 0)
        list->setValue(line.index, line.sub, line.value, false);
    return {};
  }

  PdoTransferScope transfers(host_);
  const std::uint8_t state = list->getNmtState();
  DLLConnector* connector = host_.connector();
  if (state != 0 && connector) connector->send_nmtW(co::nmt::kEnterPreOperational);

  std::array<std::optional<QString>, 8> cobIds;
  std::array<std::optional<QString>, 8> counts;
  QString refused;
  auto put = [&](std::uint16_t index, std::int32_t sub, const QString& value) {
    if (!refused.isEmpty() || StringGridSDODataSource::applicationClosing) return false;
    if (list->setValue(pdofile::indexText(index), sub, value, true)) return true;
    refused = QStringLiteral("%1:%2 = %3").arg(pdofile::indexText(index)).arg(sub).arg(value);
    return false;
  };
  // Every PDO invalid with an empty mapping first: mapping entries may only
  // change then. The counts follow once all entries are in, the COB-IDs last.
  const QString invalid = QString::number(co::cob::kInvalid);
  for (int i = 1; i <= 4; ++i) {
    put(co::pdo::rpdoCommunication(i), co::pdo::kCobId, invalid);
    put(co::pdo::tpdoCommunication(i), co::pdo::kCobId, invalid);
    put(co::pdo::rpdoMapping(i), 0, QStringLiteral("0"));
    put(co::pdo::tpdoMapping(i), 0, QStringLiteral("0"));
  }
  const bool disabled = refused.isEmpty();
  int refusedLine = 0;
  for (const pdofile::Line& line : content.lines) {
    if (const int slot = pdofile::cobIdSlot(line.indexValue, line.sub); slot >= 0) {
      cobIds[std::size_t(slot)] = line.value;
    } else if (const int slot2 = pdofile::countSlot(line.indexValue, line.sub); slot2 >= 0) {
      counts[std::size_t(slot2)] = line.value;
    } else if (!put(line.indexValue, line.sub, line.value)) {
      refusedLine = line.lineNumber;
      break;
    }
  }
  for (int i = 0; i < 4; ++i) {
    const auto number = [](const std::optional<QString>& v) {
      return QString::number(v ? std::uint32_t(Util::ToIntDef(*v, 0)) : 0u);
    };
    put(co::pdo::rpdoMapping(i + 1), 0, number(counts[std::size_t(i)]));
    put(co::pdo::tpdoMapping(i + 1), 0, number(counts[std::size_t(i + 4)]));
  }
  for (int i = 0; i < 4; ++i) {
    // A PDO the file gives no COB-ID for stays invalid.
    if (const auto& v = cobIds[std::size_t(i)])
      put(co::pdo::rpdoCommunication(i + 1), co::pdo::kCobId, QString::number(std::uint32_t(Util::ToInt(*v))));
    if (const auto& v = cobIds[std::size_t(i + 4)])
      put(co::pdo::tpdoCommunication(i + 1), co::pdo::kCobId, QString::number(std::uint32_t(Util::ToInt(*v))));
  }
  if (!StringGridSDODataSource::applicationClosing) {
    RoutingMessageFilter::routing().rebuildTpdoTable();
    // Back to the state the node was in; a node whose state was not known
    // is left pre-operational rather than reset, which would undo the writes.
    if (connector && state == 1) connector->send_nmtW(co::nmt::kStart);
    if (connector && state == 2) connector->send_nmtW(co::nmt::kStop);
  }
  if (refused.isEmpty()) return {};
  QString done;
  if (!disabled)
    done = QStringLiteral("Some PDOs may already be disabled.");
  else if (refusedLine > 0)
    done = QStringLiteral(
               "All eight PDOs were disabled and the lines before line %1 were written; the PDOs stay "
               "disabled.")
               .arg(refusedLine);
  else
    done = QStringLiteral(
        "All eight PDOs were disabled and every mapping entry was written; the PDOs whose "
        "count or COB-ID was not written stay disabled.");
  return QStringLiteral("Loading \"%1\" stopped: the node refused %2.\n%3").arg(path, refused, done);
}
