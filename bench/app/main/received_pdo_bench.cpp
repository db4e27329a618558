// The received-PDO view under load: eight simulated controllers on the
// unpaced bus each send their four transmit PDOs every millisecond (32,000
// frames/s), while the window (offscreen) is connected to node 1 with the
// "PDO Received" page shown. Reported: node 1's PDO frames sent against
// those the view decoded (each decode refreshes its grid rows and the quick
// view), and the lateness of a 10 ms timer on the user-interface thread
// (target p99 < 50 ms). Run from the application folder.

#include "BenchReport.h"
#include "PdoMapping.h"
#include "SimulatedSetup.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"
#include "node/ObjectDictionary.h"
// Qt after the simulator: Qt defines `emit` as a macro.
#include "ConnectedWindow.h"

#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "DLLLoader.h"
#include "KestrumApplication.h"
#include "MessageBoxService.h"
#include "StringGridPDOReceivedDataSource.h"
#include "TMainForm.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;
using kestrum::bench::processUntil;
using Clock = std::chrono::steady_clock;
using kestrum::sim::CanFrame;

constexpr int kNodes = 8;

/// Sends the NMT start and counts node 1's transmit PDOs.
class Port : public kestrum::sim::BusPort {
 public:
  explicit Port(kestrum::sim::VirtualBus& bus) : bus_(bus) { bus_.attach(this); }
  ~Port() override { bus_.detach(this); }
  void deliver(const CanFrame& f) override {
    if (counting_ && (f.id == 0x181 || f.id == 0x281 || f.id == 0x381 || f.id == 0x481)) ++node1_;
    if (counting_ && f.id >= 0x181 && f.id <= 0x4FF) ++all_;
  }
  void startAll() {
    CanFrame start;
    start.dlc = 2;
    start.data[0] = 0x01;  // NMT start, every node
    bus_.submit(this, start);
  }
  std::atomic<bool> counting_{false};
  std::atomic<unsigned long> node1_{0}, all_{0};

 private:
  kestrum::sim::VirtualBus& bus_;
};

/// Four event-timed transmit PDOs, 1 ms each.
bool mapTransmitPdos(kestrum::sim::NodeHost& host, std::uint8_t id) {
  return kestrum::bench::mapTransmitPdos(host, id, {{0x60410010, 0x60640020}, {0x606C0020}, {0x60610008}, {0x60FD0020}}, 1);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  KestrumApplication app(argc, argv);
  RecordingMessageBoxService boxes;
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

  kestrum::bench::SimulatedSetup sim(0);  // unpaced: the frames come as fast as the nodes send them
  if (!sim.start({"Mirelo"})) return 1;
  std::string error;
  for (int id = 2; id <= kNodes; ++id)
    if (!sim.host.addNode(std::uint8_t(id), "Mirelo", error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  for (int id = 1; id <= kNodes; ++id)
    if (!mapTransmitPdos(sim.host, std::uint8_t(id))) {
      std::fprintf(stderr, "node %d refused its PDO mapping\n", id);
      return 1;
    }
  const QString libraryPath = QDir::currentPath() + QStringLiteral("/libVarnex.so");
  DLLLoader loader(libraryPath);
  TMainForm form(&loader, libraryPath);
  if (!kestrum::bench::showConnected(form)) return 1;
  // The first visit reads every object, the PDO mapping with it.
  auto* pages = form.findChild<QTabWidget*>(QStringLiteral("TabControl"));
  pages->setCurrentWidget(form.findChild<QWidget*>(QStringLiteral("tabObjMngt")));
  processUntil([&] { return !form.isInUse(); }, std::chrono::seconds(30));
  form.findChild<QTabWidget*>(QStringLiteral("tabCtlObjMngnt"))
      ->setCurrentWidget(form.findChild<QWidget*>(QStringLiteral("tabPDOReceived")));
  StringGridPDOReceivedDataSource* view = form.pdoView();
  if (!view || view->rowCount() < 5) {
    std::fprintf(stderr, "the view knows %d mapped objects, not 5\n", view ? view->rowCount() : 0);
    return 1;
  }

  Port port(sim.bus);
  port.startAll();
  processUntil([] { return false; }, std::chrono::milliseconds(300));  // settle

  kestrum::bench::LatenessProbe probe;
  const std::uint64_t decodedBefore = view->decodedFrames();
  port.counting_ = true;
  const auto t0 = Clock::now();
  probe.start();
  processUntil([] { return false; }, std::chrono::seconds(seconds));
  port.counting_ = false;
  probe.stop();
  const double runS = std::chrono::duration<double>(Clock::now() - t0).count();
  const std::uint64_t decodedInRun = view->decodedFrames() - decodedBefore;

  metric("received_pdo_bus_frames_per_s", double(port.all_) / runS, "frames/s");
  metric("received_pdo_node1_frames_sent_per_s", double(port.node1_) / runS, "frames/s");
  metric("received_pdo_decoded_per_s", double(decodedInRun) / runS, "frames/s");
  metric("received_pdo_decoded_share_in_run", port.node1_ ? 100.0 * double(decodedInRun) / double(port.node1_) : 0, "%");
  probe.report("received_pdo");
  return 0;
}
