// Main window benchmarks against the simulated controller (offscreen):
//  - start-up to connected: window creation until the automatic connection
//    has identified the node (includes its 500 ms delay);
//  - "Read All" of the default dictionary on a bus paced at 1000 kbit/s,
//    against the bus-limited time of the frames it exchanged (median and
//    best of three runs), on the "SDO List" page with the grid in view: the
//    list's read alone, and the button as the user presses it (which adds
//    the busy state: the whole page repainted disabled, then enabled);
//  - the same uploads straight through the connector: the baseline of what
//    the layers below the window take, with the round trip's percentiles and
//    where its time goes beyond the wire: client send to the request's wire
//    start, the node's reaction, and the answer's delivery to the return.
// On a virtual machine each thread hand-off to another, idle processor costs
// some 25 us, so these figures swing with where the scheduler puts the
// threads; `taskset -c 1` (one processor) shows what the software itself takes.
// Figures depend on the build type: main_bench_optimised_build says which
// one was measured (1: optimised, as bench/run.sh builds it). Run from the
// application folder (bench/run.sh does).

#include "BenchReport.h"
#include "Handoff.h"
#include "SimulatedSetup.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DLLConnector.h"
#include "DLLLoader.h"
#include "KestrumApplication.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "StringGridSDODataSource.h"
#include "TMainForm.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;
using kestrum::bench::processUntil;

using Clock = std::chrono::steady_clock;
using kestrum::sim::CanFrame;
using kestrum::sim::VirtualBus;

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
    if (deliveries_.size() < deliveries_.capacity()) deliveries_.push_back({Clock::now(), f.id, VirtualBus::frameBits(f)});
  }
  struct Delivery {
    Clock::time_point at;
    std::uint32_t id;
    unsigned bits;
  };
  // Arms the meter; with `keep`, also records up to that many deliveries.
  void arm(bool on, std::size_t keep = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = on;
    if (!on) return;
    bits_ = frames_ = 0;
    deliveries_.clear();
    deliveries_.reserve(keep);
  }
  std::vector<Delivery> deliveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  std::uint64_t bits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bits_;
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
  std::vector<Delivery> deliveries_;
};

// Milliseconds that `bits` take on the wire at `kbit` kbit/s.
double wireMs(std::uint64_t bits, unsigned kbit) { return double(bits) / double(kbit); }

double usBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  constexpr unsigned kBitrate = 1000;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // Start as the application does: on one processor. The simulator lives in
  // this process for the benchmark and so shares it; KESTRUM_BENCH_UNPINNED=1
  // measures with the threads spread over all processors instead.
  if (qgetenv("KESTRUM_BENCH_UNPINNED") != "1") KestrumApplication::restrictToFirstProcessor();
  metric("main_bench_pinned_to_one_processor", qgetenv("KESTRUM_BENCH_UNPINNED") != "1" ? 1 : 0, "flag");
  KestrumApplication app(argc, argv);
#ifdef NDEBUG
  metric("main_bench_optimised_build", 1, "flag");
#else
  metric("main_bench_optimised_build", 0, "flag");
  std::fprintf(stderr, "# an unoptimised build: the figures are not comparable with bench/run.sh's\n");
#endif
  RecordingMessageBoxService boxes;  // no box may block a benchmark

  kestrum::bench::SimulatedSetup sim(kBitrate);
  if (!sim.start({"Default", "Mirelo"})) return 1;
  const QString libraryPath = QDir::currentPath() + QStringLiteral("/libVarnex.so");
  DLLLoader loader(libraryPath);

  bool connected = false;
  QObject::connect(&Logging::instance(), &Logging::lineWritten, [&connected](const QString& line, const QColor&, bool) {
    if (line.endsWith(QLatin1String(") Connected"))) connected = true;
  });

  const auto started = Clock::now();
  TMainForm form(&loader, libraryPath);
  form.resize(1280, 800);
  form.show();
  if (!processUntil([&] { return connected; }, std::chrono::seconds(20))) {
    std::fprintf(stderr, "the window did not connect\n");
    return 1;
  }
  metric("main_startup_to_connected", std::chrono::duration<double, std::milli>(Clock::now() - started).count(), "ms");
  processUntil([&] { return !form.isInUse(); }, std::chrono::seconds(5));

  // The default dictionary: the first item of the controller choice.
  auto* controllers = form.findChild<QComboBox*>(QStringLiteral("ControllerBox"));
  controllers->setCurrentIndex(0);
  emit controllers->activated(0);
  processUntil([&] { return !form.isInUse(); }, std::chrono::seconds(5));
  StringGridSDODataSource* list = form.sdoList();
  auto* pages = form.findChild<QTabWidget*>(QStringLiteral("TabControl"));
  pages->setCurrentWidget(form.findChild<QWidget*>(QStringLiteral("tabObjMngt")));
  auto* objectPages = form.findChild<QTabWidget*>(QStringLiteral("tabCtlObjMngnt"));
  objectPages->setCurrentWidget(form.findChild<QWidget*>(QStringLiteral("tabSDOList")));
  auto* readAllButton = form.findChild<QPushButton*>(QStringLiteral("SDOAktBtn"));
  auto* status = form.findChild<QLabel*>(QStringLiteral("PollingLabel"));
  processUntil([] { return false; }, std::chrono::milliseconds(200));  // the page is painted

  metric("main_machine_thread_handoff_p50", kestrum::bench::handoffMedianUs(), "us");
  WireMeter meter(sim.bus);
  // A few runs of each: the median is the figure, the best shows how much of
  // it is noise from other processes on the machine.
  auto measure = [&](const char* name, const std::function<bool()>& readAll) {
    constexpr int kRuns = 3;
    std::vector<double> runsMs;
    double busMs = 0;
    bool ok = true;
    for (int run = 0; run < kRuns; ++run) {
      meter.arm(true);
      const auto readStart = Clock::now();
      ok = readAll() && ok;
      runsMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - readStart).count());
      meter.arm(false);
      busMs = wireMs(meter.bits(), kBitrate);
    }
    if (!ok) std::fprintf(stderr, "%s: Read All reported a failure\n", name);
    const double readMs = percentile(runsMs, 0.5);
    const std::string prefix = std::string("main_read_all") + name;
    metric((prefix + "_ms").c_str(), readMs, "ms");
    metric((prefix + "_best_ms").c_str(), percentile(runsMs, 0), "ms");
    metric((prefix + "_ratio_to_bus_limited").c_str(), busMs > 0 ? readMs / busMs : 0, "ratio");
    return busMs;
  };
  const double busMs = measure("", [&] { return list->readAll(); });
  metric("main_read_all_rows", list->rowCount(), "rows");
  metric("main_read_all_frames", double(meter.frames()), "frames");
  metric("main_read_all_bus_limited_ms", busMs, "ms");
  measure("_button", [&] {
    readAllButton->click();
    return status->text() == QLatin1String("Reading all finished");
  });
  // The same uploads straight through the connector, without the list and
  // its grid: what the window adds to the round trips.
  {
    DLLConnector* connector = form.connector();
    std::vector<double> roundTripsUs;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> spans;
    meter.arm(true, 4 * std::size_t(list->rowCount()) + 64);
    const auto rawStart = Clock::now();
    for (std::int32_t row = 1; row <= list->rowCount(); ++row) {
      const sdoGridEntry* e = list->entryAtRow(row);
      const QString type = dataTypeName(e->definition->dataType);
      if (type == QLatin1String("string")) continue;
      const auto t0 = Clock::now();
      connector->readObject(1, std::uint16_t(e->definition->id.toInt(nullptr, 16)), std::uint8_t(e->subindex.toInt()),
                            TYPE_U8, 2000);
      const auto t1 = Clock::now();
      roundTripsUs.push_back(usBetween(t0, t1));
      spans.emplace_back(t0, t1);
    }
    const double rawMs = std::chrono::duration<double, std::milli>(Clock::now() - rawStart).count();
    meter.arm(false);
    const double rawBusMs = wireMs(meter.bits(), kBitrate);
    metric("main_read_all_connector_only_ms", rawMs, "ms");
    metric("main_read_all_connector_only_ratio_to_bus_limited", rawBusMs > 0 ? rawMs / rawBusMs : 0, "ratio");
    metric("main_connector_roundtrip_p50", percentile(roundTripsUs, 0.50), "us");
    metric("main_connector_roundtrip_p99", percentile(roundTripsUs, 0.99), "us");
    // Each round trip's request (0x601) and answer (0x581) as the bus
    // delivered them, each at the end of its wire time (1 bit = 1 us).
    std::vector<double> sendUs, nodeUs, receiveUs;
    const auto deliveries = meter.deliveries();
    std::size_t k = 0;
    for (const auto& [t0, t1] : spans) {
      const WireMeter::Delivery* request = nullptr;
      const WireMeter::Delivery* answer = nullptr;
      for (; k < deliveries.size() && deliveries[k].at <= t1; ++k) {
        if (deliveries[k].at < t0) continue;
        if (deliveries[k].id == 0x601 && !request) request = &deliveries[k];
        if (deliveries[k].id == 0x581 && request) answer = &deliveries[k];
      }
      if (!request || !answer) continue;
      sendUs.push_back(usBetween(t0, request->at) - request->bits * 1000.0 / kBitrate);
      nodeUs.push_back(usBetween(request->at, answer->at) - answer->bits * 1000.0 / kBitrate);
      receiveUs.push_back(usBetween(answer->at, t1));
    }
    metric("main_connector_send_to_wire_p50", percentile(sendUs, 0.50), "us");
    metric("main_connector_node_reaction_p50", percentile(nodeUs, 0.50), "us");
    metric("main_connector_delivery_to_return_p50", percentile(receiveUs, 0.50), "us");
  }
  form.close();
  return 0;
}
