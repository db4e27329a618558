// The scope under its design load: the simulated Mirelo on a bus paced at
// 1000 kbit/s sends transmit PDO 1 (statusword, actual position) and 2
// (actual velocity, position demand) every millisecond while turning in
// profile velocity mode, and the scope (offscreen, 1280x800) shows four
// channels from them (the statusword's bit 10 as a digital trace) over a
// time base of 60 s. Reported:
//  - the PDO frames the node sent against the samples the scope took from
//    them (no loss: every frame decoded);
//  - the time of one redraw at 30 pictures a second (the data thinned for
//    the span shown, the chart and traces painted), p50/p99/max, as wall
//    time and as the thread's processor time (on a shared machine the wall
//    time's tail is other processes' time); target p99 < 10 ms;
//  - the memory of the sample buffers (allocated bytes, and the growth of
//    the resident set over the run);
//  - the lateness of a 10 ms timer on the user-interface thread.
// Arguments: seconds of load (default 65, so the buffers hold a full
// minute), and a path to save a picture of the window at the end.
// Run from the application folder.

#include "BenchReport.h"
#include "PdoMapping.h"
#include "SimulatedSetup.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"
#include "node/ObjectDictionary.h"
// Qt after the simulator: Qt defines `emit` as a macro.
#include "ConnectedWindow.h"

#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QtCharts/QChartView>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "DLLLoader.h"
#include "KestrumApplication.h"
#include "MessageBoxService.h"
#include "ScopeWindow.h"
#include "TMainForm.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;
using kestrum::bench::processUntil;
using Clock = std::chrono::steady_clock;
using kestrum::sim::CanFrame;

constexpr std::uint8_t kNode = 1;

/// Counts the node's two transmit PDOs and sends what the bench itself needs
/// on the bus: the NMT commands and the drive's velocity set-up (as another
/// tool on the bus would; the scope itself never writes).
class Port : public kestrum::sim::BusPort {
 public:
  explicit Port(kestrum::sim::VirtualBus& bus) : bus_(bus) { bus_.attach(this); }
  ~Port() override { bus_.detach(this); }
  void deliver(const CanFrame& f) override {
    if (f.id == 0x180 + kNode) ++tpdo1_;
    if (f.id == 0x280 + kNode) ++tpdo2_;
    if (f.id == 0x580 + kNode) ++sdoAnswers_;
  }
  void nmt(std::uint8_t command) {
    CanFrame f;
    f.dlc = 2;
    f.data[0] = command;
    f.data[1] = kNode;
    bus_.submit(this, f);
  }
  /// An expedited download, waiting for its answer (up to 200 ms).
  void download(std::uint16_t index, std::uint8_t sub, std::uint32_t value, int size) {
    CanFrame f;
    f.id = 0x600 + kNode;
    f.dlc = 8;
    f.data[0] = std::uint8_t(0x23 | ((4 - size) << 2));
    f.data[1] = std::uint8_t(index);
    f.data[2] = std::uint8_t(index >> 8);
    f.data[3] = sub;
    for (int i = 0; i < 4; ++i) f.data[4 + i] = std::uint8_t(value >> (8 * i));
    const unsigned long before = sdoAnswers_;
    bus_.submit(this, f);
    processUntil([&] { return sdoAnswers_ != before; }, std::chrono::milliseconds(200));
  }
  std::atomic<unsigned long> tpdo1_{0}, tpdo2_{0}, sdoAnswers_{0};

 private:
  kestrum::sim::VirtualBus& bus_;
};


/// Processor time of the calling thread, in ms.
double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

/// Resident set size in bytes (0 when unknown).
double residentBytes() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toDouble() * 1024;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  KestrumApplication app(argc, argv);
  RecordingMessageBoxService boxes;
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 65;
  const QString screenshot = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();

  kestrum::bench::SimulatedSetup sim(1000);
  if (!sim.start({"Mirelo"})) return 1;
  // Statusword and position actual value, velocity actual value and position demand value.
  if (!kestrum::bench::mapTransmitPdos(sim.host, kNode, {{0x60410010, 0x60640020}, {0x606C0020, 0x60620020}}, 1)) {
    std::fprintf(stderr, "the node refused its PDO mapping\n");
    return 1;
  }
  const QString libraryPath = QDir::currentPath() + QStringLiteral("/libVarnex.so");
  DLLLoader loader(libraryPath);
  TMainForm form(&loader, libraryPath);
  if (!kestrum::bench::showConnected(form)) return 1;
  // The first visit reads every object, the PDO mapping with it.
  form.findChild<QTabWidget*>(QStringLiteral("TabControl"))
      ->setCurrentWidget(form.findChild<QWidget*>(QStringLiteral("tabObjMngt")));
  processUntil([&] { return !form.isInUse(); }, std::chrono::seconds(30));

  const double rssBefore = residentBytes();
  form.findChild<QPushButton*>(QStringLiteral("btnScope"))->click();
  ScopeWindow* scope = form.scopeWindow();
  if (!scope) return 1;
  scope->resize(1280, 800);
  const char* objects[][2] = {{"0x6064:00", ""}, {"0x606C:00", ""}, {"0x6062:00", ""}, {"0x6041:00", "10"}};
  for (const auto& o : objects) {
    ScopeWindow::ChannelRequest request;
    request.object = QLatin1String(o[0]);
    request.bit = QLatin1String(o[1]);
    if (!scope->addChannel(request)) {
      std::fprintf(stderr, "channel %s refused: %s\n", o[0],
                   boxes.boxes().empty() ? "" : boxes.boxes().back().text.toLocal8Bit().constData());
      return 1;
    }
  }
  scope->findChild<QComboBox*>(QStringLiteral("cmbTimeBase"))->setCurrentText(QStringLiteral("60 s"));
  // The bench draws at 30 pictures a second itself, to time each picture.
  scope->findChild<QTimer*>(QStringLiteral("tmrScopeRedraw"))->stop();
  std::vector<double> redrawMs, updateMs, paintMs, redrawCpuMs;
  QTimer pictures;
  pictures.setTimerType(Qt::PreciseTimer);
  pictures.setInterval(33);
  QObject::connect(&pictures, &QTimer::timeout, [&] {
    const double cpu0 = threadCpuMs();
    const auto t0 = Clock::now();
    scope->redraw();
    const auto t1 = Clock::now();
    scope->chartView()->viewport()->repaint();
    const auto t2 = Clock::now();
    updateMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    paintMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    redrawMs.push_back(std::chrono::duration<double, std::milli>(t2 - t0).count());
    redrawCpuMs.push_back(threadCpuMs() - cpu0);
  });

  // The drive turns in profile velocity mode, reversing every 4 s.
  Port port(sim.bus);
  port.download(0x6060, 0, 3, 1);
  port.download(0x6083, 0, 20000, 4);
  port.download(0x6084, 0, 20000, 4);
  port.download(0x60FF, 0, 6000, 4);
  for (std::uint32_t cw : {0x06u, 0x07u, 0x0Fu}) port.download(0x6040, 0, cw, 2);
  QTimer reverse;
  bool forward = true;
  QObject::connect(&reverse, &QTimer::timeout, [&] {
    forward = !forward;
    port.download(0x60FF, 0, std::uint32_t(forward ? 6000 : -6000), 4);
  });

  kestrum::bench::LatenessProbe probe;
  port.tpdo1_ = 0;
  port.tpdo2_ = 0;
  port.nmt(0x01);  // start: the PDOs flow
  const auto t0 = Clock::now();
  pictures.start();
  reverse.start(4000);
  probe.start();
  processUntil([] { return false; }, std::chrono::seconds(seconds));
  port.nmt(0x80);  // pre-operational: the PDOs stop
  processUntil([] { return false; }, std::chrono::milliseconds(500));  // the queue drains
  const double runS = std::chrono::duration<double>(Clock::now() - t0).count();
  probe.stop();
  pictures.stop();
  reverse.stop();
  for (std::uint32_t cw : {0x06u}) port.download(0x6040, 0, cw, 2);  // the drive stops turning

  const double sent1 = double(port.tpdo1_), sent2 = double(port.tpdo2_);
  const double took1 = double(scope->samplesReceived(0)), took2 = double(scope->samplesReceived(1));
  metric("scope_tpdo_frames_sent_per_s", (sent1 + sent2) / runS, "frames/s");
  metric("scope_tpdo1_frames_sent", sent1, "frames");
  metric("scope_tpdo1_samples_taken", took1, "samples");
  metric("scope_tpdo2_frames_sent", sent2, "frames");
  metric("scope_tpdo2_samples_taken", took2, "samples");
  metric("scope_frames_lost", (sent1 - took1) + (sent2 - took2), "frames");
  metric("scope_redraw_p50", percentile(redrawMs, 0.5), "ms");
  metric("scope_redraw_p99", percentile(redrawMs, 0.99), "ms");
  metric("scope_redraw_max", redrawMs.empty() ? 0 : *std::max_element(redrawMs.begin(), redrawMs.end()), "ms");
  metric("scope_redraws", double(redrawMs.size()), "pictures");
  // The two halves of a redraw: the series updated from the data, the chart painted.
  metric("scope_update_p99", percentile(updateMs, 0.99), "ms");
  // The processor time of the user-interface thread per redraw: what the
  // redraw costs without the waits of a shared, loaded machine.
  metric("scope_redraw_cpu_p50", percentile(redrawCpuMs, 0.5), "ms");
  metric("scope_redraw_cpu_p99", percentile(redrawCpuMs, 0.99), "ms");
  metric("scope_paint_p99", percentile(paintMs, 0.99), "ms");
  double bufferBytes = 0, kept = 0;
  for (int c = 0; c < scope->channelCount(); ++c) {
    bufferBytes += double(scope->history(c).capacityBytes());
    kept += double(scope->history(c).size());
  }
  metric("scope_buffer_bytes", bufferBytes, "bytes");
  metric("scope_buffer_samples", kept, "samples");
  metric("scope_resident_growth", residentBytes() - rssBefore, "bytes");
  probe.report("scope");

  if (!screenshot.isEmpty()) {
    scope->stop();
    scope->setView(scope->viewEnd() - 20, scope->viewEnd());
    scope->redraw();
    processUntil([] { return false; }, std::chrono::milliseconds(100));  // the chart lays out its axis title
    if (!scope->grab().save(screenshot)) std::fprintf(stderr, "could not save %s\n", qPrintable(screenshot));
  }
  return 0;
}
