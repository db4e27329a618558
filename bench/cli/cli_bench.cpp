// kestrum-cli benchmarks against simulated controllers on a bus paced at
// 1000 kbit/s, each against a baseline measured in the same run:
//  - the quick scan of node IDs 1 to 127 with five nodes on the bus: finding
//    them (requests, answers and the collection window) and identifying them,
//    against the bus-limited time of the frames it put on the wire; the
//    node-by-node scan's lower bound (127 x 600 ms of settling) for scale;
//    and the whole `kestrum-cli scan` process as a user runs it;
//  - `kestrum-cli dump` of the default dictionary against "Read All" of the
//    main window on the same node, both against the bus-limited time.
// Run from the application folder (bench/run.sh does).

#include "BenchReport.h"
#include "../app/main/SimulatedSetup.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"

#include <QComboBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "DLLConnector.h"
#include "DLLLoader.h"
#include "KestrumApplication.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "QuickScan.h"
#include "StringGridSDODataSource.h"
#include "TMainForm.h"
#include "../app/main/ConnectedWindow.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::processUntil;
using Clock = std::chrono::steady_clock;
using kestrum::sim::CanFrame;
using kestrum::sim::VirtualBus;

constexpr unsigned kBitrate = 1000;

/// Adds up the wire time of every frame on the bus while armed.
class WireMeter : public kestrum::sim::BusPort {
 public:
  explicit WireMeter(VirtualBus& bus) : bus_(bus) { bus_.attach(this); }
  ~WireMeter() override { bus_.detach(this); }
  void deliver(const CanFrame& f) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!armed_) return;
    bits_ += VirtualBus::frameBits(f);
    ++frames_;
  }
  void arm(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = on;
    if (on) bits_ = frames_ = 0;
  }
  double busMs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return double(bits_) / kBitrate;
  }
  std::uint64_t frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  VirtualBus& bus_;
  std::mutex mutex_;
  bool armed_ = false;
  std::uint64_t bits_ = 0;
  std::uint64_t frames_ = 0;
};

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct ProcessRun {
  int code = -1;
  double ms = 0;
  QByteArray out;
};
ProcessRun runCli(const QStringList& args) {
  QProcess p;
  const auto start = Clock::now();
  p.start(QDir::currentPath() + QStringLiteral("/kestrum-cli"), args);
  ProcessRun r;
  if (!p.waitForFinished(120000)) return r;
  r.ms = msSince(start);
  r.code = p.exitCode();
  r.out = p.readAllStandardOutput();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  KestrumApplication app(argc, argv);
#ifdef NDEBUG
  metric("cli_bench_optimised_build", 1, "flag");
#else
  metric("cli_bench_optimised_build", 0, "flag");
  std::fprintf(stderr, "# an unoptimised build: the figures are not comparable with bench/run.sh's\n");
#endif
  RecordingMessageBoxService boxes;  // no box may block a benchmark

  kestrum::bench::SimulatedSetup sim(kBitrate);
  if (!sim.start({"Default", "Mirelo"})) return 1;
  for (std::uint8_t id : {30, 64, 100, 127}) {
    std::string error;
    if (!sim.host.addNode(id, "Mirelo", error)) {
      std::fprintf(stderr, "simulated node %d: %s\n", id, error.c_str());
      return 1;
    }
  }
  const QString libraryPath = QDir::currentPath() + QStringLiteral("/libVarnex.so");
  DLLLoader loader(libraryPath);
  WireMeter meter(sim.bus);

  // ---- quick scan, in this process through the connector
  {
    DLLConnector connector(&loader);
    connector.init_canW(1, int(kBitrate), -1, -1, true, 0x51, nullptr);
    processUntil([] { return false; }, std::chrono::milliseconds(200));  // boot-up traffic is over
    meter.arm(true);
    const auto start = Clock::now();
    const quickscan::Result found = quickscan::findNodes(connector, 1, 127, int(kBitrate));
    const double findMs = msSince(start);
    meter.arm(false);
    const double busMs = meter.busMs();
    const auto identifyStart = Clock::now();
    for (int node : found.nodes)
      quickscan::identify(connector, node, [&](int n) { return quickscan::readControllerName(connector, n); });
    metric("cli_quick_scan_nodes_found", double(found.nodes.size()), "nodes");
    metric("cli_quick_scan_find_ms", findMs, "ms");
    metric("cli_quick_scan_collect_window_ms", quickscan::collectWindowMs(1, 127, int(kBitrate)), "ms");
    metric("cli_quick_scan_frames", double(meter.frames()), "frames");
    metric("cli_quick_scan_bus_limited_ms", busMs, "ms");
    metric("cli_quick_scan_ratio_to_bus_limited", busMs > 0 ? findMs / busMs : 0, "ratio");
    metric("cli_quick_scan_identify_ms", msSince(identifyStart), "ms");
    metric("cli_quick_scan_total_ms", msSince(start), "ms");
    metric("cli_node_by_node_scan_lower_bound_ms", 127 * 600.0, "ms");
  }
  {
    const ProcessRun r = runCli({"scan", "--bitrate", "1000", "--json"});
    metric("cli_scan_process_ms", r.ms, "ms");
    metric("cli_scan_process_nodes_found", double(r.out.count('\n')), "nodes");
  }

  // ---- dump of the default dictionary, then "Read All" of the window
  QTemporaryDir dir;
  double dumpMs = 0;
  {
    meter.arm(true);
    const ProcessRun r = runCli({"dump", "1", dir.filePath("node1.log"), "--json"});
    meter.arm(false);
    const QJsonObject j = QJsonDocument::fromJson(r.out).object();
    if (r.code != 0) std::fprintf(stderr, "kestrum-cli dump failed (%d)\n", r.code);
    dumpMs = j.value("readMs").toDouble();
    metric("cli_dump_rows", j.value("rows").toDouble(), "rows");
    metric("cli_dump_read_ms", dumpMs, "ms");
    metric("cli_dump_process_ms", r.ms, "ms");
    metric("cli_dump_process_bus_limited_ms", meter.busMs(), "ms");
    std::fprintf(stderr, "# dump used the dictionary of '%s'\n", qPrintable(j.value("controller").toString()));
  }
  TMainForm form(&loader, libraryPath);
  if (!kestrum::bench::showConnected(form)) return 1;
  auto* controllers = form.findChild<QComboBox*>(QStringLiteral("ControllerBox"));
  // The default dictionary, as the dump had it.
  const int defaultItem = controllers->findText(QStringLiteral("Default"));
  controllers->setCurrentIndex(defaultItem);
  emit controllers->activated(defaultItem);
  processUntil([&] { return !form.isInUse(); }, std::chrono::seconds(5));
  StringGridSDODataSource* list = form.sdoList();
  meter.arm(true);
  const auto start = Clock::now();
  const bool ok = list->readAll();
  const double readAllMs = msSince(start);
  meter.arm(false);
  if (!ok) std::fprintf(stderr, "Read All reported a failure\n");
  metric("cli_window_read_all_rows", list->rowCount(), "rows");
  metric("cli_window_read_all_ms", readAllMs, "ms");
  metric("cli_window_read_all_bus_limited_ms", meter.busMs(), "ms");
  metric("cli_dump_ratio_to_window_read_all", readAllMs > 0 ? dumpMs / readAllMs : 0, "ratio");
  return 0;
}
