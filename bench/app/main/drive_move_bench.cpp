// A positioning move from the "Profile Position Mode" page against the
// simulated drive on a bus paced at 1000 kbit/s (offscreen window):
//  - from the click on "Start" to the statusword panel showing "target
//    reached" again, against the move's own time measured on the drive in
//    the same run (set-point taken to target reached, read off the simulated
//    node without the bus) and against the trapezoid's kinematic time;
//    target: at most 1.1 x the drive's time + 20 ms;
//  - the bus load the drive pages add while idle: SDO frames per second on
//    the profile position page, and on the velocity page with its current
//    speed refreshed automatically, against the node's own PDO traffic.
// The node is operational with its statusword in transmit PDO 1, so the
// panel follows the drive by PDO. Run from the application folder.

#include "BenchReport.h"
#include "SimulatedSetup.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"
// Qt after the simulator: Qt defines `emit` as a macro.
#include "ConnectedWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "DLLLoader.h"
#include "KestrumApplication.h"
#include "MessageBoxService.h"
#include "TMainForm.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;
using kestrum::bench::processUntil;
using Clock = std::chrono::steady_clock;

constexpr unsigned kBitrate = 1000;
constexpr std::uint8_t kNode = 1;

/// Counts frames on the bus by kind while armed.
class BusCounter : public kestrum::sim::BusPort {
 public:
  explicit BusCounter(kestrum::sim::VirtualBus& bus) : bus_(bus) { bus_.attach(this); }
  ~BusCounter() override { bus_.detach(this); }
  void deliver(const kestrum::sim::CanFrame& f) override {
    if (!armed_) return;
    const bool sdo = f.id == 0x600u + kNode || f.id == 0x580u + kNode;
    (sdo ? sdo_ : other_)++;
    // Data bits plus the fixed frame overhead of a standard frame (without stuffing).
    bits_ += 47 + 8 * f.dlc;
  }
  void arm(bool on) {
    if (on) sdo_ = other_ = bits_ = 0;
    armed_ = on;
  }
  unsigned sdo() const { return sdo_; }
  unsigned other() const { return other_; }
  unsigned long bits() const { return bits_; }

 private:
  kestrum::sim::VirtualBus& bus_;
  std::atomic<bool> armed_{false};
  std::atomic<unsigned> sdo_{0}, other_{0};
  std::atomic<unsigned long> bits_{0};
};

std::int64_t nodeValue(kestrum::sim::NodeHost& host, std::uint16_t index) {
  kestrum::sim::Bytes bytes;
  std::uint32_t abortCode = 0;
  if (!host.readObject(kNode, index, 0, bytes, abortCode) || abortCode) return -1;
  std::int64_t v = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) v = v << 8 | bytes[i];
  return v;
}

template <typename T>
T* child(TMainForm& form, const char* name) {
  T* w = form.findChild<T*>(QLatin1String(name));
  if (!w) {
    std::fprintf(stderr, "no control %s\n", name);
    std::exit(1);
  }
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  KestrumApplication app(argc, argv);
  RecordingMessageBoxService boxes;  // no box may block a benchmark

  kestrum::bench::SimulatedSetup sim(kBitrate);
  if (!sim.start({"Mirelo"})) return 1;
  const QString libraryPath = QDir::currentPath() + QStringLiteral("/libVarnex.so");
  DLLLoader loader(libraryPath);
  TMainForm form(&loader, libraryPath);
  if (!kestrum::bench::showConnected(form)) return 1;

  // Operational, with node guarding keeping the NMT state in the status bar.
  child<QPushButton>(form, "startBtn")->click();
  child<QCheckBox>(form, "chkLifeguard")->click();
  child<QTabWidget>(form, "TabControl")->setCurrentWidget(child<QWidget>(form, "tabDriveModes"));
  processUntil([&] { return !form.isInUse(); }, std::chrono::seconds(30));
  child<QTabWidget>(form, "tabCtlDriveModes")->setCurrentWidget(child<QWidget>(form, "tabPPMode"));
  processUntil([&] { return !form.isInUse() && form.statuswordByPdo(); }, std::chrono::seconds(5));
  if (!form.statuswordByPdo()) std::fprintf(stderr, "# the statusword does not come by PDO: the panel lags\n");
  child<QPushButton>(form, "Button1")->click();
  if ((nodeValue(sim.host, 0x6041) & 0x6F) != 0x27) {
    std::fprintf(stderr, "the drive did not switch on\n");
    return 1;
  }

  // A trapezoid: 0.4 s up to 20000 increments/s, 0.6 s at speed, 0.4 s down.
  constexpr double kSpeed = 20000, kAccel = 50000, kDistance = 20000;
  const double rampS = kSpeed / kAccel;
  const double kinematicMs =
      1000.0 * (2 * rampS + (kDistance - kSpeed * rampS) / kSpeed) + double(nodeValue(sim.host, 0x6068));
  child<QLineEdit>(form, "PPmaxspeed")->setText(QString::number(kSpeed));
  child<QLineEdit>(form, "PPaccel")->setText(QString::number(kAccel));
  child<QLineEdit>(form, "PPdecel")->setText(QString::number(kAccel));
  auto* target = child<QLineEdit>(form, "weg_edit");
  auto* reached = child<QLabel>(form, "lblSWBit10");
  auto* start = child<QPushButton>(form, "dogrid");

  std::vector<double> clickMs, driveMs, ratio;
  double position = double(nodeValue(sim.host, 0x6064));
  for (int run = 0; run < 5; ++run) {
    position = run % 2 ? position - kDistance : position + kDistance;
    target->setText(QString::number(std::llround(position)));
    // The drive's own view: set-point acknowledged to target reached, polled
    // off the simulated node every 0.2 ms on a thread of its own.
    std::atomic<bool> watching{true};
    std::atomic<double> setPointAt{0}, reachedAt{0};
    const auto t0 = Clock::now();
    std::thread watcher([&] {
      bool moving = false;
      while (watching) {
        const std::int64_t s = nodeValue(sim.host, 0x6041);
        const double now = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (!moving && s >= 0 && !(s & 0x0400)) {
          moving = true;
          setPointAt = now;
        } else if (moving && (s & 0x0400)) {
          reachedAt = now;
          return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    start->click();
    bool sawMoving = reached->text() == QLatin1String("0");
    const bool ok = processUntil(
        [&] {
          if (reached->text() == QLatin1String("0")) sawMoving = true;
          return sawMoving && reached->text() == QLatin1String("1");
        },
        std::chrono::seconds(10));
    const double shownMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    watching = false;
    watcher.join();
    if (!ok || reachedAt == 0) {
      std::fprintf(stderr, "run %d: target reached was not shown\n", run);
      return 1;
    }
    const double own = reachedAt - setPointAt;
    clickMs.push_back(shownMs);
    driveMs.push_back(own);
    ratio.push_back((shownMs - 20.0) / own);
    processUntil([] { return false; }, std::chrono::milliseconds(100));
  }
  metric("drive_move_click_to_reached_shown_ms", percentile(clickMs, 0.5), "ms");
  metric("drive_move_click_to_reached_shown_best_ms", percentile(clickMs, 0), "ms");
  metric("drive_move_drive_own_time_ms", percentile(driveMs, 0.5), "ms");
  metric("drive_move_kinematic_time_ms", kinematicMs, "ms");
  metric("drive_move_overhead_ms", percentile(clickMs, 0.5) - percentile(driveMs, 0.5), "ms");
  metric("drive_move_ratio_minus_20ms_to_drive_time", percentile(ratio, 0.5), "ratio");

  // Idle: what the pages put on the bus without anyone pressing anything.
  BusCounter counter(sim.bus);
  auto idle = [&](const char* name) {
    counter.arm(true);
    processUntil([] { return false; }, std::chrono::seconds(3));
    counter.arm(false);
    metric((std::string("drive_idle_") + name + "_sdo_frames_per_s").c_str(), counter.sdo() / 3.0, "frames/s");
    metric((std::string("drive_idle_") + name + "_bus_load").c_str(), 100.0 * double(counter.bits()) / 3.0 / (kBitrate * 1000.0),
           "%");
    metric((std::string("drive_idle_") + name + "_other_frames_per_s").c_str(), counter.other() / 3.0, "frames/s");
  };
  idle("pp_page");
  child<QTabWidget>(form, "tabCtlDriveModes")->setCurrentWidget(child<QWidget>(form, "tabVelMode"));
  processUntil([&] { return !form.isInUse(); }, std::chrono::seconds(5));
  child<QCheckBox>(form, "chkPollCurrentSpeed")->click();
  idle("velocity_page_auto_refresh");
  child<QPushButton>(form, "Button2")->click();
  processUntil([] { return false; }, std::chrono::milliseconds(200));
  return 0;
}
