#pragma once
// The main window offscreen against simulated controllers: one virtual bus per
// process served over socketcand on a free port, simulated nodes on it, and
// the real libVarnex.so from the application folder (the working directory),
// loaded after KESTRUM_BUS points at the bus. Boxes are answered through the
// recording box service; controls are found by objectName.

// The simulator's headers come before Qt's: Qt defines `emit` as a macro.
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"
#include "node/SimNode.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>
#include <stdexcept>
#include <string>

#include "DLLConnector.h"
#include "DLLLoader.h"
#include "KestrumApplication.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "RoutingMessageFilter.h"
#include "StringGridSDODataSource.h"
#include "TMainForm.h"
#include "canopen/Cia402.h"

#include "QtTestSupport.h"

namespace mainwindow_test {

using namespace std::chrono_literals;
using kestrum::test::processUntil;
using kestrum::test::scaled;
using kestrum::sim::NodeHost;
using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;

/// The process's application object on the offscreen platform.
inline KestrumApplication& application() { return kestrum::test::application<KestrumApplication>(); }

/// Bus, server, node host and library; built once per process because the
/// library reads KESTRUM_BUS when it is loaded. KESTRUM_TEST_BITRATE paces
/// the bus (kbit/s) for the benchmarks.
struct SimWorld {
  std::unique_ptr<VirtualBus> bus;
  std::unique_ptr<SocketcandServer> server;
  std::unique_ptr<NodeHost> host;
  QTemporaryDir stateDir;
  DLLLoader* loader = nullptr;

  static SimWorld& get(unsigned bitrateKbit = 0) {
    static SimWorld* world = existing() = new SimWorld(bitrateKbit);  // lives as long as the library's threads
    return *world;
  }
  /// The world if one was built in this process.
  static SimWorld*& existing() {
    static SimWorld* world = nullptr;
    return world;
  }
  QString libraryPath() const { return QDir::currentPath() + QStringLiteral("/libVarnex.so"); }

  /// Adds a simulated controller; the default is the stepper "Mirelo".
  void addNode(std::uint8_t id, const std::string& model = "Mirelo") {
    std::string error;
    if (!host->addNode(id, model, error)) throw std::runtime_error("simulated node: " + error);
  }
  void clearNodes() {
    for (std::uint8_t id : host->nodeIds()) host->removeNode(id);
  }
  /// Stops the simulator's threads once every test has run. The library
  /// stays loaded; its connections ended with the last window.
  void shutDown() {
    host.reset();
    server.reset();
    bus.reset();
  }

 private:
  explicit SimWorld(unsigned bitrateKbit) {
    application();
    bus = std::make_unique<VirtualBus>(bitrateKbit);
    server = std::make_unique<SocketcandServer>(*bus);
    std::string error;
    if (!server->start("127.0.0.1", 0, error)) throw std::runtime_error("bus server: " + error);
    host = std::make_unique<NodeHost>(*bus, QDir::currentPath().toStdString(), stateDir.path().toStdString());
    setenv("KESTRUM_BUS", server->entry().c_str(), 1);
    loader = new DLLLoader(libraryPath());
  }
};

/// After the last test: the simulator's threads joined and Qt's pooled
/// threads ended, so that no thread runs or exits while the leak check at
/// process exit suspends them (LeakSanitizer's tracer has crashed on a
/// thread that was tearing down its thread-local storage).
class QuietExit : public ::testing::Environment {
 public:
  void TearDown() override {
    if (SimWorld* w = SimWorld::existing()) w->shutDown();
    if (QCoreApplication::instance()) QThreadPool::globalInstance()->waitForDone();
  }
};
inline const bool kQuietExitRegistered = (::testing::AddGlobalTestEnvironment(new QuietExit), true);

/// Records every frame on the virtual bus.
class BusRecorder : public kestrum::sim::BusPort {
 public:
  explicit BusRecorder(VirtualBus& bus) : bus_(bus) { bus_.attach(this); }
  ~BusRecorder() override { bus_.detach(this); }
  void deliver(const kestrum::sim::CanFrame& frame) override {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(frame);
  }
  std::vector<kestrum::sim::CanFrame> frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  /// Object indices of the SDO download requests sent to `node`.
  std::vector<std::uint16_t> downloads(std::uint8_t node) const {
    std::vector<std::uint16_t> indices;
    for (const auto& f : frames())
      if (f.id == 0x600u + node && f.dlc == 8 && (f.data[0] & 0xE0) == 0x20)
        indices.push_back(std::uint16_t(f.data[1] | f.data[2] << 8));
    return indices;
  }
  std::size_t requestsTo(std::uint8_t node) const {
    std::size_t n = 0;
    for (const auto& f : frames()) n += f.id == 0x600u + node;
    return n;
  }

 private:
  VirtualBus& bus_;
  mutable std::mutex mutex_;
  std::vector<kestrum::sim::CanFrame> frames_;
};

/// Collects the application log's lines.
struct LogLines {
  QStringList lines;
  QMetaObject::Connection connection;
  LogLines() {
    connection = QObject::connect(&Logging::instance(), &Logging::lineWritten,
                                  [this](const QString& line, const QColor&, bool) { lines << line; });
  }
  ~LogLines() { QObject::disconnect(connection); }
  bool contains(const QString& text) const {
    for (const QString& line : lines)
      if (line.contains(text)) return true;
    return false;
  }
  QString all() const { return lines.join(QLatin1Char('\n')); }
};

/// A fresh main window per test.
class MainWindowTest : public ::testing::Test {
 protected:
  // Every test builds and destroys connectors; the library's settling pauses
  // at shutdown need not last as long against the in-process bus.
  MainWindowTest() { DLLConnector::setShutdownPause(10ms); }

  RecordingMessageBoxService boxes;
  LogLines log;
  std::unique_ptr<TMainForm> form;

  /// The window against the simulator (`withLibrary`) or with a library path
  /// that does not exist (no library at all).
  void start(bool withLibrary = true) {
    if (withLibrary) {
      form = std::make_unique<TMainForm>(world().loader, world().libraryPath());
    } else {
      application();
      const QString path = QDir::currentPath() + QStringLiteral("/no-such-libVarnex.so");
      static DLLLoader* missing = new DLLLoader(path);
      form = std::make_unique<TMainForm>(missing, path);
    }
    form->resize(1280, 800);
    form->show();
  }
  /// Start-up and the automatic connection.
  void startConnected(bool withLibrary = true) {
    start(withLibrary);
    ASSERT_TRUE(processUntil([this] { return log.contains("Connected") || log.contains("no Device detected"); }))
        << log.all().toStdString();
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  }
  void TearDown() override {
    if (form) {
      form->close();
      form.reset();
    }
    if (SimWorld* w = SimWorld::existing()) w->clearNodes();
  }
  SimWorld& world() { return SimWorld::get(); }

  template <typename T = QWidget>
  T* widget(const char* name) {
    T* w = form->findChild<T*>(QLatin1String(name));
    EXPECT_TRUE(w) << name;
    return w;
  }
  QString text(const char* labelName) { return widget<QLabel>(labelName)->text(); }
  QStringList comboItems(const char* name) {
    QStringList items;
    auto* combo = widget<QComboBox>(name);
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    return items;
  }
  QStringList pageNames(const char* tabsName) {
    QStringList names;
    auto* tabs = widget<QTabWidget>(tabsName);
    for (int i = 0; i < tabs->count(); ++i) names << tabs->widget(i)->objectName();
    return names;
  }
  /// Chooses an adapter entry as the user does; the workflow runs at once.
  void chooseAdapter(const QString& entry) {
    auto* combo = widget<QComboBox>("comboExVendor");
    combo->setCurrentIndex(combo->findText(entry));
    emit combo->activated(combo->currentIndex());
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); })) << entry.toStdString();
  }
  /// Opens the "SDO List" page; the first visit reads every object.
  void openSdoList() {
    widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabObjMngt"));
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(20s))) << log.all().toStdString();
  }
  StringGridSDODataSource& list() { return *form->sdoList(); }

  // ---- Drive pages -----------------------------------------------------------
  /// Opens the "Drive Modes" page (the first visit reads every object), then
  /// the inner page `page` (tabRefMode, tabPPMode, ...).
  void openDrivePage(const char* page) {
    widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabDriveModes"));
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(20s))) << log.all().toStdString();
    widget<QTabWidget>("tabCtlDriveModes")->setCurrentWidget(widget(page));
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(20s)));
  }
  /// An object's value as the simulated node holds it, read directly (no bus
  /// traffic), little-endian and unsigned; -1 when the node lacks it.
  std::int64_t nodeValue(std::uint8_t node, std::uint16_t index, std::uint8_t sub = 0) {
    kestrum::sim::Bytes bytes;
    std::uint32_t abortCode = 0;
    if (!world().host->readObject(node, index, sub, bytes, abortCode) || abortCode) return -1;
    std::int64_t v = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) v = v << 8 | bytes[i];
    return v;
  }
  /// Sets an object of the simulated node directly, as its firmware would.
  void setNodeValue(std::uint8_t node, std::uint16_t index, std::uint8_t sub, std::int64_t value, int size) {
    kestrum::sim::Bytes bytes;
    for (int i = 0; i < size; ++i) bytes.push_back(std::uint8_t(value >> (8 * i)));
    std::uint32_t abortCode = 0;
    ASSERT_TRUE(world().host->writeObject(node, index, sub, bytes, abortCode));
    ASSERT_EQ(abortCode, 0u);
  }
  /// The power state the simulated drive is in (from its statusword).
  kestrum::canopen::cia402::PowerState driveState(std::uint8_t node) {
    return kestrum::canopen::cia402::stateOf(std::uint16_t(nodeValue(node, 0x6041)));
  }
  /// Clicks a button as the user does (its handler runs to its end).
  void click(const char* name) { widget<QAbstractButton>(name)->click(); }
  void type(const char* name, const QString& text) { widget<QLineEdit>(name)->setText(text); }
  bool boxShown(const QString& textPart) const {
    for (const auto& b : boxes.boxes())
      if (b.text.contains(textPart)) return true;
    return false;
  }
};

}  // namespace mainwindow_test
