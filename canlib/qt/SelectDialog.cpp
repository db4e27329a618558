#include "SelectDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QThread>
#include <QVBoxLayout>

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "../Boxes.h"
#include "../DeviceDialog.h"

namespace varnex {
namespace {

// How long the watcher pauses after a failed wait that did not end the
// enumeration, so a driver that fails at once does not keep a core busy.
constexpr auto kWatchRetry = std::chrono::milliseconds(100);

QString guidText(const VciApi& vci, const GUID& guid) {
  char text[256] = {};
  if (!vci.vciGuidToChar || vci.vciGuidToChar(guid, text, sizeof text) != VCI_OK) return {};
  return QString::fromLatin1(text);
}

QString versionText(int major, int minor) {
  return QString::asprintf("%d.%02d", major, minor);
}

QLineEdit* infoField(const char* name) {
  auto* field = new QLineEdit;
  field->setObjectName(QString::fromLatin1(name));
  field->setReadOnly(true);
  return field;
}

}  // namespace

SelectDialog::SelectDialog(const VciApi& vci, int kind, QWidget* parent)
    : QDialog(parent), vci_(vci), kind_(kind) {
  setObjectName(QStringLiteral("SOCSELECTDLG"));
  setWindowTitle(QStringLiteral("Select BUS Controller"));

  auto* devicesBox = new QGroupBox(QStringLiteral("VCI &Devices"));
  lstDevices_ = new QListWidget;
  lstDevices_->setObjectName(QStringLiteral("lstDevices"));
  lstDevices_->setSelectionMode(QAbstractItemView::SingleSelection);
  auto* devicesLayout = new QVBoxLayout(devicesBox);
  devicesLayout->addWidget(lstDevices_);

  auto* infoBox = new QGroupBox(QStringLiteral("Device Info"));
  txtDescription_ = infoField("txtDescription");
  txtManufacturer_ = infoField("txtManufacturer");
  txtDriverVersion_ = infoField("txtDriverVersion");
  txtHardwareVersion_ = infoField("txtHardwareVersion");
  txtDeviceClass_ = infoField("txtDeviceClass");
  txtHardwareId_ = infoField("txtHardwareId");
  txtObjectId_ = infoField("txtObjectId");
  auto* infoLayout = new QFormLayout(infoBox);
  infoLayout->addRow(QStringLiteral("Description:"), txtDescription_);
  infoLayout->addRow(QStringLiteral("Manufacturer:"), txtManufacturer_);
  infoLayout->addRow(QStringLiteral("Driver Version:"), txtDriverVersion_);
  infoLayout->addRow(QStringLiteral("Hardware Version:"), txtHardwareVersion_);
  infoLayout->addRow(QStringLiteral("Device Class:"), txtDeviceClass_);
  infoLayout->addRow(QStringLiteral("Hardware ID:"), txtHardwareId_);
  infoLayout->addRow(QStringLiteral("VCI Object ID:"), txtObjectId_);

  // Room for a GUID in the fields and for a typical device line in the list,
  // so neither is cut at the dialog's first size.
  const QFontMetrics metrics(font());
  const int guidWidth = metrics.horizontalAdvance(QStringLiteral("{00000000-0000-0000-0000-000000000000}")) + 16;
  for (QLineEdit* f : {txtDescription_, txtManufacturer_, txtDriverVersion_, txtHardwareVersion_, txtDeviceClass_,
                       txtHardwareId_, txtObjectId_})
    f->setMinimumWidth(guidWidth);
  lstDevices_->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("0000000000000000 - 000000000000000000000000000000")) + 32);

  auto* top = new QHBoxLayout;
  top->addWidget(devicesBox, 1);
  top->addWidget(infoBox, 1);

  auto* lineLabel = new QLabel(QStringLiteral("BUS &Line:"));
  cmbBusLine_ = new QComboBox;
  cmbBusLine_->setObjectName(QStringLiteral("cmbBusLine"));
  cmbBusLine_->setMinimumContentsLength(10);
  cmbBusLine_->setEnabled(false);
  lineLabel->setBuddy(cmbBusLine_);
  auto* ok = new QPushButton(QStringLiteral("&OK"));
  ok->setObjectName(QStringLiteral("btnOK"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("&Cancel"));
  cancel->setObjectName(QStringLiteral("btnCancel"));
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(lineLabel);
  bottom->addWidget(cmbBusLine_);
  bottom->addStretch(1);
  bottom->addWidget(ok);
  bottom->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(bottom);

  connect(lstDevices_, &QListWidget::currentRowChanged, this, [this](int row) { deviceSelected(row); });
  connect(cmbBusLine_, qOverload<int>(&QComboBox::currentIndexChanged), this, [this](int index) { line_ = index; });
  connect(ok, &QPushButton::clicked, this, [this] { okClicked(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  if (!vci_.vciEnumDeviceOpen || vci_.vciEnumDeviceOpen(&enumerator_) != VCI_OK) enumerator_ = nullptr;
  refresh();
  if (!enumerator_ || !vci_.vciEnumDeviceWaitEvent) return;
  changeEvent_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (changeEvent_ < 0) return;  // the list then shows the devices present at opening
  changeNotifier_ = new QSocketNotifier(changeEvent_, QSocketNotifier::Read, this);
  connect(changeNotifier_, &QSocketNotifier::activated, this, [this] {
    eventfd_t count;
    eventfd_read(changeEvent_, &count);
    refresh();
  });
  watcher_ = std::thread([this, enumerator = enumerator_, event = changeEvent_] { watch(enumerator, event); });
}

SelectDialog::~SelectDialog() {
  stopWatching();
  closeAll();
  if (opened_ && vci_.vciDeviceClose) vci_.vciDeviceClose(opened_);
}

HANDLE SelectDialog::takeOpenedDevice() {
  HANDLE device = opened_;
  opened_ = nullptr;
  return device;
}

// Runs on the watcher thread: it knows only the enumerator and the event
// file, so it can neither block on the dialog nor outlive what it uses. A
// change is only signalled; the dialog's thread reads the event file and
// refreshes in its own time, so closing never waits for a delivery.
void SelectDialog::watch(HANDLE enumerator, int event) {
  while (!stopping_.load()) {
    const HRESULT status = vci_.vciEnumDeviceWaitEvent(enumerator, INFINITE);
    if (stopping_.load() || status == VCI_E_INVHANDLE) return;  // enumerator closed
    if (status == VCI_OK)
      eventfd_write(event, 1);
    else
      std::this_thread::sleep_for(kWatchRetry);
  }
}

void SelectDialog::stopWatching() {
  stopping_ = true;
  // Closing the enumerator ends the watcher's wait.
  if (enumerator_ && vci_.vciEnumDeviceClose) vci_.vciEnumDeviceClose(enumerator_);
  enumerator_ = nullptr;
  if (watcher_.joinable()) watcher_.join();
  delete changeNotifier_;
  changeNotifier_ = nullptr;
  if (changeEvent_ >= 0) ::close(changeEvent_);
  changeEvent_ = -1;
}

bool SelectDialog::listed(INT64 objectId) const {
  for (const auto& d : devices_)
    if (d.objectId == objectId) return true;
  return false;
}

void SelectDialog::refresh() {
  {
    // Rows are removed without the list choosing a neighbour on its own: a
    // device that vanished must not hand the selection to another one.
    const QSignalBlocker blocker(lstDevices_);
    for (int row = static_cast<int>(devices_.size()) - 1; row >= 0; --row) {
      VCIDEVICEINFO info;
      if (vci_.vciDeviceGetInfo(devices_[row].handle, &info) == VCI_OK) continue;
      const bool wasSelected = devices_[row].handle == selected_;
      vci_.vciDeviceClose(devices_[row].handle);
      devices_.erase(devices_.begin() + row);
      delete lstDevices_->takeItem(row);
      if (wasSelected) lstDevices_->setCurrentRow(-1);
    }
  }
  deviceSelected(lstDevices_->currentRow());

  if (!enumerator_) return;
  if (vci_.vciEnumDeviceReset) vci_.vciEnumDeviceReset(enumerator_);
  VCIDEVICEINFO found;
  while (vci_.vciEnumDeviceNext(enumerator_, &found) == VCI_OK) {
    if (listed(found.VciObjectId.AsInt64)) continue;
    HANDLE handle = nullptr;
    if (vci_.vciDeviceOpen(found.VciObjectId, &handle) != VCI_OK) continue;
    VCIDEVICEINFO info;
    if (vci_.vciDeviceGetInfo(handle, &info) != VCI_OK) {
      vci_.vciDeviceClose(handle);
      continue;
    }
    info.Description[sizeof info.Description - 1] = '\0';
    devices_.push_back({handle, info.VciObjectId.AsInt64});
    lstDevices_->addItem(QString::asprintf("%08X%08X - %s", static_cast<unsigned>(info.VciObjectId.AsLuid.HighPart),
                                           static_cast<unsigned>(info.VciObjectId.AsLuid.LowPart), info.Description));
  }
}

void SelectDialog::deviceSelected(int row) {
  HANDLE handle = row >= 0 && row < static_cast<int>(devices_.size()) ? devices_[row].handle : nullptr;
  if (handle == selected_) return;
  selected_ = handle;
  showDevice(handle);
  fillLines(handle);
}

void SelectDialog::showDevice(HANDLE handle) {
  VCIDEVICEINFO info;
  txtObjectId_->clear();
  if (!handle || vci_.vciDeviceGetInfo(handle, &info) != VCI_OK) {
    for (QLineEdit* field : {txtDescription_, txtManufacturer_, txtDriverVersion_, txtHardwareVersion_,
                             txtDeviceClass_, txtHardwareId_})
      field->clear();
    return;
  }
  info.Description[sizeof info.Description - 1] = '\0';
  info.Manufacturer[sizeof info.Manufacturer - 1] = '\0';
  txtDescription_->setText(QString::fromLocal8Bit(info.Description));
  txtManufacturer_->setText(QString::fromLocal8Bit(info.Manufacturer));
  txtDriverVersion_->setText(versionText(info.DriverMajorVersion, info.DriverMinorVersion));
  txtHardwareVersion_->setText(versionText(info.HardwareMajorVersion, info.HardwareMinorVersion));
  txtDeviceClass_->setText(guidText(vci_, info.DeviceClass));
  txtHardwareId_->setText(guidText(vci_, info.UniqueHardwareId.AsGuid));
  // A text longer than its field shows its beginning, as a label would.
  for (QLineEdit* field : {txtDescription_, txtManufacturer_, txtDeviceClass_, txtHardwareId_}) field->setCursorPosition(0);
}

// Every refill drops the chosen line: a row number of the old device's list
// names another line, or none, on the new one.
void SelectDialog::fillLines(HANDLE handle) {
  {
    const QSignalBlocker blocker(cmbBusLine_);
    cmbBusLine_->clear();
    VCIDEVICECAPS caps;
    if (handle && vci_.vciDeviceGetCaps && vci_.vciDeviceGetCaps(handle, &caps) == VCI_OK) {
      const char* prefix = kind_ == VCI_BUS_LIN ? "LIN" : "CAN";
      const unsigned count = caps.BusCtrlCount < VCI_MAX_BUSCTRL ? caps.BusCtrlCount : VCI_MAX_BUSCTRL;
      char letter = 'A';
      for (unsigned controller = 0; controller < count; ++controller) {
        if (VCI_BUS_TYPE(caps.BusCtrlTypes[controller]) != kind_) continue;
        // The item keeps the controller number: lines of another kind may sit between.
        cmbBusLine_->addItem(QString::asprintf("%s - %c", prefix, letter++), controller);
      }
    }
    cmbBusLine_->setCurrentIndex(-1);
  }
  line_ = -1;
  cmbBusLine_->setEnabled(cmbBusLine_->count() > 0);
}

void SelectDialog::okClicked() {
  const QByteArray caption = windowTitle().toUtf8();
  if (!selected_) {
    showBox(caption.constData(), "Please select a device !", BoxIcon::Error);
    return;
  }
  if (line_ < 0) {
    showBox(caption.constData(), "Please select a BUS line !", BoxIcon::Error);
    return;
  }
  VCIDEVICEINFO info;
  HANDLE device = nullptr;
  if (vci_.vciDeviceGetInfo(selected_, &info) != VCI_OK || vci_.vciDeviceOpen(info.VciObjectId, &device) != VCI_OK) {
    // The device went away since it was listed: show what is there now.
    refresh();
    return;
  }
  opened_ = device;
  openedLine_ = cmbBusLine_->itemData(line_).toUInt();
  accept();
}

void SelectDialog::done(int result) {
  stopWatching();
  closeAll();
  QDialog::done(result);
}

void SelectDialog::closeAll() {
  for (const auto& d : devices_) vci_.vciDeviceClose(d.handle);
  devices_.clear();
  {
    const QSignalBlocker blocker(lstDevices_);
    lstDevices_->clear();
  }
  selected_ = nullptr;
  showDevice(nullptr);
  fillLines(nullptr);
}

long selectBusController(void* owner, int kind, const VciApi& vci, HANDLE* device, UINT32* line) {
  if (!device || !line || (kind != VCI_BUS_CAN && kind != VCI_BUS_LIN)) return VCI_E_INVALIDARG;
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app || !vci.vciDeviceOpen || !vci.vciDeviceGetInfo || !vci.vciDeviceClose || !vci.vciEnumDeviceNext)
    return VCI_E_ABORT;
  long status = VCI_E_ABORT;
  auto run = [&] {
    // The owner is only taken when it is one of this application's widgets;
    // anything else passed as a window handle is ignored, not dereferenced.
    QWidget* parent = nullptr;
    if (owner && QApplication::allWidgets().contains(static_cast<QWidget*>(owner)))
      parent = static_cast<QWidget*>(owner);
    SelectDialog dialog(vci, kind, parent);
    if (dialog.exec() != QDialog::Accepted) return;
    HANDLE opened = dialog.takeOpenedDevice();
    if (!opened) {
      status = VCI_E_FAIL;
      return;
    }
    *device = opened;
    *line = dialog.chosenLine();
    status = VCI_OK;
  };
  if (QThread::currentThread() == app->thread())
    run();
  else
    QMetaObject::invokeMethod(app, run, Qt::BlockingQueuedConnection);
  return status;
}

namespace {
struct Installer {
  Installer() { setDeviceDialog(selectBusController); }
} installer;
}  // namespace

}  // namespace varnex
